// The handler does all its work at once, with async-signal-safe calls only:
// it interrupts whatever the filter is blocked in, stdio and libcups
// included, and the interrupted step never resumes.
#include "cancel_job.h"

#include <csignal>
#include <unistd.h>

#include "control_channel.h"
#include "job_converter.h"

// Only this job's converter, through the process group it was started in:
// that reaches its children too, and leaves the converters of other queues
// printing at the same moment alone. Before the first page there is none.
static void stop_converter()
{
    pid_t pid = converter_pid;
    if (pid > 0)
        kill(-pid, SIGTERM);
}

void cancel_job(int /*signal_number*/)
{
    stop_converter();
    // The channel is still closed here: the first send fails and the
    // exchange's reconnect opens it, or finds no daemon and sends nothing.
    int length = 6;
    channel_exchange("cancel", &length);
    channel_disconnect();
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
