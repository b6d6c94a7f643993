#include <csignal>
#include <cstdlib>
#include <unistd.h>

#include "diagnostics.h"
#include "velokitlp.h"

// The job's data goes to the device once per copy. A write that failed fails
// the job: the data did not reach the printer whole.
int print_run(int argc, char *argv[])
{
    bool from_file = argc == 7;
    FILE *input = stdin;
    long copies = 1;
    if (from_file) {
        input = fopen(argv[6], "rb");
        if (input == nullptr)
            msg_fatal_errno("%s", argv[6]);
        copies = strtol(argv[4], nullptr, 10);
    }

    char path[PORT_PATH_MAX + 1];
    port_path(argv[0], path);
    int device = port_open(path);

    // A cancelled job still sends everything that reaches it on standard
    // input, so the printer never gets a cut-off job.
    if (!from_file)
        signal(SIGTERM, SIG_IGN);

    bool written = true;
    for (; copies > 0; copies--) {
        if (from_file) {
            msg_report(MSG_PLAIN, "PAGE: 1 1\n");
            rewind(input);
        }
        if (!port_copy(input, device, from_file))
            written = false;
    }

    close(device);
    if (from_file)
        fclose(input);
    return written ? 0 : 1;
}
