// The sub-commands' way to root's server is its local socket, which admits
// root and the admin group only. PAPPL's client, refused there, would start a
// private server of the user's own, without printers, and report success
// from it: a user outside the admin group is told instead how to reach the
// system server (IPP over TCP, with -u).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "app.h"

static bool runs_without_server(int argc, char *argv[])
{
    static const char *const words[] = {"server", "devices", "drivers", "--help", "--version"};
    for (int i = 1; i < argc; i++) {
        if (std::strncmp(argv[i], "-u", 2) == 0)
            return true;
        for (const char *word : words) {
            if (std::strcmp(argv[i], word) == 0)
                return true;
        }
    }
    return false;
}

static bool server_answers(const char *path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::size_t length = std::strlen(path);
    if (length >= sizeof(address.sun_path))
        return false;
    std::memcpy(address.sun_path, path, length + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool answers =
        fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
    if (fd >= 0)
        close(fd);
    return answers;
}

bool system_server_refuses(int argc, char *argv[])
{
    if (getuid() == 0 || runs_without_server(argc, argv))
        return false;
    char own[1024];
    char system[1024];
    std::snprintf(own, sizeof(own), "%s/%s%d.sock", papplGetTempDir(),
                  program_invocation_short_name, static_cast<int>(getuid()));
    std::snprintf(system, sizeof(system), "/run/%s.sock", program_invocation_short_name);
    // A server of the user's own running, or no system server: PAPPL's way.
    if (server_answers(own) || access(system, F_OK) != 0)
        return false;
    return access(system, W_OK) != 0 && errno == EACCES;
}
