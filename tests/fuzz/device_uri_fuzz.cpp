// The backend's device URI, as a queue administrator sets it, to the port
// device file path it opens; and the printer application's check that such
// a path is one of the maker's port files, the only ones its root server
// writes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "velokit_port.h"

namespace
{

void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string uri(reinterpret_cast<const char *>(data), size);
    // Past the path area, so a copy beyond it is caught.
    char path[PORT_PATH_MAX + 1];
    std::memset(path, 'x', sizeof(path));
    http_uri_status_t status = HTTP_URI_STATUS_OK;
    std::size_t length = port_uri_path(uri.c_str(), path, &status);

    if (status < HTTP_URI_STATUS_OK) {
        check(length == 0);
        return 0;
    }
    if (length > PORT_PATH_MAX) {
        check(path[0] == 'x');
        return 0;
    }
    // A whole path, never one cut to fit, and never with its query.
    check(std::strlen(path) == length && std::strchr(path, '?') == nullptr);
    check(length <= uri.size());
    if (port_is_maker_path(path)) {
        const char *number = nullptr;
        for (const char *dir : {"/var/run/velokitlp", "/run/velokitlp"}) {
            if (std::strncmp(path, dir, std::strlen(dir)) == 0)
                number = path + std::strlen(dir);
        }
        check(number != nullptr && *number != '\0' &&
              std::strspn(number, "0123456789") == std::strlen(number));
    }
    return 0;
}
