// A converter that takes no rows: the printer behind it is not taking data
// (offline, out of paper, jammed). After 30 seconds without a row taken or a
// byte of its output, the job says so and the printer shows "offline"; both
// clear when data moves again. The job's watcher looks every 20 ms.
#include <ctime>

#include "print_job.h"

constexpr long stall_seconds = 30;

static long now_seconds()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long>(t.tv_sec);
}

void stall_progress(print_job *pj)
{
    pj->progress_at = now_seconds();
}

void stall_check(print_job *pj)
{
    bool stuck = pj->writing && now_seconds() - pj->progress_at >= stall_seconds;
    if (stuck == pj->stalled)
        return;
    pj->stalled = stuck;
    printer_stalled(papplJobGetPrinter(pj->job), stuck);
    if (stuck) {
        papplJobSetMessage(pj->job,
                           "The printer is not responding: velokit-filter has taken no "
                           "data for %ld seconds.",
                           stall_seconds);
        papplLogJob(pj->job, PAPPL_LOGLEVEL_WARN,
                    "velokit-filter has taken no data for %ld seconds.", stall_seconds);
    } else {
        papplJobSetMessage(pj->job, "Printing.");
        papplLogJob(pj->job, PAPPL_LOGLEVEL_INFO, "velokit-filter takes data again.");
    }
}

void stall_end(print_job *pj)
{
    if (pj->stalled)
        printer_stalled(papplJobGetPrinter(pj->job), false);
    pj->stalled = false;
}
