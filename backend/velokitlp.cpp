// velokitlp: the backend of a Velokit queue. With no arguments it lists the
// port device files for device discovery; otherwise it copies the job's
// printer data to the port device file its device URI names.
#include <cstdio>

#include "diagnostics.h"
#include "velokitlp.h"

int main(int argc, char *argv[])
{
    // Before anything else: every message must reach the scheduler at once.
    setvbuf(stderr, nullptr, _IONBF, 0);

    if (argc == 1) {
        list_ports();
        return 0;
    }
    if (argc != 6 && argc != 7) {
        msg_report(MSG_PLAIN, "usage: velokitlp job-id user title copies options [file]");
        return 1;
    }
    return print_run(argc, argv);
}
