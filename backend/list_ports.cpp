#include <cstdio>

#include "velokit_port.h"
#include "velokitlp.h"

void list_ports()
{
    char path[PORT_NAME_SIZE];
    for (int n = 0; port_discover(n, path); n++)
        printf("file velokitlp:%s \"Velokit\" \"ORVEX Inkjet Printer #%d\"\n", path, n + 1);
}
