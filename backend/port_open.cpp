#include <cerrno>
#include <fcntl.h>

#include "velokit_port.h"

int port_open(const char *path)
{
    // The port belongs to the maker's software: never create it. A printer
    // application starts converters while other jobs print: they must not
    // inherit the port.
    int fd = open(path, O_WRONLY | O_EXCL | O_CLOEXEC);
    return fd >= 0 ? fd : -errno;
}
