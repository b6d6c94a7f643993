#include <cstring>
#include <cups/http.h>
#include <vector>

#include "diagnostics.h"
#include "velokitlp.h"

void port_path(const char *uri, char path[PORT_PATH_MAX + 1])
{
    // The splitter cuts whatever does not fit its areas without a word; areas
    // as long as the URI itself mean a long path is refused below instead of
    // being cut into some other, shorter path.
    int size = static_cast<int>(strlen(uri)) + 1;
    std::vector<char> scheme(size), user(size), host(size), resource(size);
    int port = 0;
    http_uri_status_t status =
        httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme.data(), size, user.data(), size,
                        host.data(), size, &port, resource.data(), size);
    if (status < HTTP_URI_STATUS_OK)
        msg_fatal("Bad device URI \"%s\": %s", uri, httpURIStatusString(status));

    resource[strcspn(resource.data(), "?")] = '\0';
    size_t length = strlen(resource.data());
    if (length > PORT_PATH_MAX)
        msg_fatal("VELO port device file name is too long (%zu characters, at most %d).", length,
                  PORT_PATH_MAX);
    memcpy(path, resource.data(), length + 1);
}
