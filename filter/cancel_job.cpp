#include "cancel_job.h"

#include <csignal>
#include <unistd.h>

#include "converter.h"

// Only async-signal-safe calls: the handler interrupts whatever the filter is
// blocked in, stdio and libcups included.
void cancel_job(int)
{
    pid_t pid = converter_pid;
    if (pid > 0)
        kill(-pid, SIGTERM);
    _exit(0);
}

void cancel_install()
{
    struct sigaction action {
    };
    action.sa_handler = cancel_job;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
}
