#include <cstring>
#include <cups/http.h>
#include <vector>

#include "diagnostics.h"
#include "velokitlp.h"

std::size_t uri_port_path(const char *uri, char path[PORT_PATH_MAX + 1], http_uri_status_t *status)
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

void port_path(const char *uri, char path[PORT_PATH_MAX + 1])
{
    http_uri_status_t status = HTTP_URI_STATUS_OK;
    size_t length = uri_port_path(uri, path, &status);
    if (status < HTTP_URI_STATUS_OK)
        msg_fatal("Bad device URI \"%s\": %s", uri, httpURIStatusString(status));
    if (length > PORT_PATH_MAX)
        msg_fatal("VELO port device file name is too long (%zu characters, at most %d).", length,
                  PORT_PATH_MAX);
}
