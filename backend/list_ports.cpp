#include <cstdio>
#include <unistd.h>

#include "velokitlp.h"

void list_ports()
{
    char path[64];
    for (int n = 0;; n++) {
        snprintf(path, sizeof(path), PORT_PATTERN, n);
        if (access(path, W_OK) != 0)
            break;
        printf("file velokitlp:%s \"Velokit\" \"ORVEX Inkjet Printer #%d\"\n", path, n + 1);
    }
}
