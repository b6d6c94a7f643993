#include <cstdio>
#include <unistd.h>

#include "velokit_port.h"

bool port_discover(int n, char path[PORT_NAME_SIZE])
{
    snprintf(path, PORT_NAME_SIZE, PORT_PATTERN, n);
    return access(path, W_OK) == 0;
}
