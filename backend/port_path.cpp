#include <cstring>
#include <cups/http.h>
#include <vector>

#include "velokit_port.h"

std::size_t port_uri_path(const char *uri, char path[PORT_PATH_MAX + 1], http_uri_status_t *status)
{
    // The splitter cuts whatever does not fit its areas without a word; areas
    // as long as the URI itself mean a long path is refused instead of being
    // cut into some other, shorter path.
    int size = static_cast<int>(strlen(uri)) + 1;
    std::vector<char> scheme(size);
    std::vector<char> user(size);
    std::vector<char> host(size);
    std::vector<char> resource(size);
    int port = 0;
    *status = httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme.data(), size, user.data(), size,
                              host.data(), size, &port, resource.data(), size);
    if (*status < HTTP_URI_STATUS_OK)
        return 0;

    resource[strcspn(resource.data(), "?")] = '\0';
    size_t length = strlen(resource.data());
    if (length <= PORT_PATH_MAX)
        memcpy(path, resource.data(), length + 1);
    return length;
}

bool port_is_maker_path(const char *path)
{
    for (const char *prefix : {"/var/run/velokitlp", "/run/velokitlp"}) {
        size_t n = strlen(prefix);
        if (strncmp(path, prefix, n) == 0) {
            const char *number = path + n;
            return *number != '\0' && strspn(number, "0123456789") == strlen(number);
        }
    }
    return false;
}
