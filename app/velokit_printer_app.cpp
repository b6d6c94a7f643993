// velokit-printer-app: the Velokit driver as a printer application. Every
// IPP client prints to it driverlessly; it drives the maker's converter and
// ports with the classic driver's own code.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "app.h"

static const char footer_html[] =
    "Velokit printer application for ORVEX inkjet printers, driven through the maker's "
    "print software.";

int main(int argc, char *argv[])
{
    // A converter or port that has gone away fails a write; it must never
    // end the server.
    signal(SIGPIPE, SIG_IGN);
    // Job names, users, documents and keys: whatever the server writes is
    // its own.
    umask(S_IRWXG | S_IRWXO);
    if (system_server_refuses(argc, argv)) {
        std::fprintf(stderr,
                     "%s: the server admits root and the admin group on its socket only; other "
                     "users reach it over IPP: -u ipp://localhost:PORT/ipp/print/PRINTER\n",
                     program_invocation_short_name);
        return 1;
    }
    int status = cli_printer_id_command(argc, argv);
    if (status >= 0)
        return status;
    // Before the main loop: the devices sub-command lists the ports without
    // a server.
    port_scheme_add();
    if (argc > 1 && std::strcmp(argv[1], "submit") == 0) {
        int status = submit_command(argc, argv);
        if (status >= 0)
            return status;
    }
    pappl_pr_driver_t *list = nullptr;
    int count = drivers(&list);
    status = papplMainloop(argc, argv, VELOKIT_VERSION, footer_html, count, list, nullptr,
                           driver_setup, nullptr, nullptr, system_create, nullptr, nullptr);
    // The state is saved and the jobs are done: the same server again, with
    // none of this one's descriptors but the standard ones.
    if (printer_dnssd_restart_wanted()) {
        close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
        execv("/proc/self/exe", argv);
        std::fprintf(stderr, "%s: Unable to restart the server: %s\n", argv[0],
                     std::strerror(errno));
        // Not a clean end: a service manager starts it again.
        return 1;
    }
    return status;
}
