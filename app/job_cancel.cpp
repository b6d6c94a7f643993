// A cancelled job, from the web interface, the command line or any IPP
// client, or a job the server's shutdown stops: its converter's process group
// is stopped and the maker's control daemon is told, as the filter's cancel
// does. PAPPL only marks the job; the
// job's own thread may be blocked handing rows to the converter, so a watcher
// thread of the job's acts on the mark.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include "control_channel.h"
#include "print_job.h"

// Well within the second a cancel may take.
constexpr long watch_interval_ns = 20L * 1000 * 1000;

// The channel's descriptor is one for the whole process: two jobs cancelled
// at once take turns.
static pthread_mutex_t channel_lock = PTHREAD_MUTEX_INITIALIZER;

static void tell_daemon(print_job *pj)
{
    pthread_mutex_lock(&channel_lock);
    int length = 6;
    int result = channel_exchange("cancel", &length);
    channel_disconnect();
    pthread_mutex_unlock(&channel_lock);
    papplLogJob(pj->job, PAPPL_LOGLEVEL_INFO,
                result == 0 ? "Cancel sent to the control daemon."
                            : "The control daemon could not be reached to cancel.");
}

// Only this job's converter, through its process group: that reaches its
// children too, and leaves the converters of other jobs alone.
static void stop_converter(print_job *pj)
{
    pthread_mutex_lock(&pj->converter_lock);
    pj->canceled = true;
    if (pj->converter_pid > 0 && !pj->converter_reaped)
        kill(-pj->converter_pid, SIGTERM);
    pthread_mutex_unlock(&pj->converter_lock);
}

bool job_canceled(pappl_job_t *job)
{
    return papplJobIsCanceled(job) && papplJobGetState(job) != IPP_JSTATE_ABORTED;
}

static void *watch(void *arg)
{
    auto *pj = static_cast<print_job *>(arg);
    timespec interval{0, watch_interval_ns};
    while (!pj->finished) {
        if (job_halted(pj)) {
            stop_converter(pj);
            tell_daemon(pj);
            break;
        }
        stall_check(pj);
        nanosleep(&interval, nullptr);
    }
    stall_end(pj);
    return nullptr;
}

bool watcher_start(print_job *pj)
{
    int error = pthread_create(&pj->watcher, nullptr, watch, pj);
    if (error != 0) {
        papplJobSetMessage(pj->job, "Cannot watch the job for a cancel: %s", std::strerror(error));
        return false;
    }
    pj->watcher_running = true;
    return true;
}

void watcher_stop(print_job *pj)
{
    pj->finished = true;
    if (pj->watcher_running) {
        pthread_join(pj->watcher, nullptr);
        pj->watcher_running = false;
    }
}
