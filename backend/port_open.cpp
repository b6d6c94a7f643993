#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "diagnostics.h"
#include "velokitlp.h"

int port_open(const char *path)
{
    for (;;) {
        // The port belongs to the maker's software: never create it.
        int fd = open(path, O_WRONLY | O_EXCL);
        if (fd >= 0)
            return fd;
        if (errno != EBUSY)
            msg_fatal("Unable to open VELO port device file \"%s\": %s\n", path, strerror(errno));
        msg_report(MSG_INFO, "VELO port busy; will retry in 30 seconds...\n");
        sleep(30);
    }
}
