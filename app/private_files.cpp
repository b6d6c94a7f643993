// Nothing the server writes is readable by other users: job names, users
// and documents in the state file and the spool, the TLS key. The server's
// umask (set in main) covers what it creates; this narrows what an earlier
// version left readable.
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

#include "app.h"

static void narrow_mode(const char *path, mode_t mode)
{
    struct stat info {
    };
    if (lstat(path, &info) == 0 && info.st_uid == getuid() && (info.st_mode & 077) != 0)
        chmod(path, mode);
}

void private_files_setup(pappl_system_t *system, const char *state_file, const char *spool)
{
    narrow_mode(state_file, 0600);
    if (spool != nullptr)
        narrow_mode(spool, 0700);
    // libcups's keystore for a root server, where the first HTTPS request
    // puts the key and certificate.
    if (getuid() == 0) {
        const char *root = std::getenv("CUPS_SERVERROOT");
        char host[256];
        char path[1024];
        papplSystemGetHostName(system, host, sizeof(host));
        for (const char *ext : {"key", "crt"}) {
            std::snprintf(path, sizeof(path), "%s/ssl/%s.%s", root != nullptr ? root : "/etc/cups",
                          host, ext);
            narrow_mode(path, 0600);
        }
    }
}
