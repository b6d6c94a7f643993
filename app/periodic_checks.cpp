// What the server looks at again and again: every second, jobs that arrived
// while another printed take their place in the order (job_order.cpp) and
// the jobs are counted for a shutdown (server_shutdown.cpp); every 5
// seconds, an idle printer's port is there (printer_status.cpp).
//
// On a thread of its own, woken by a PAPPL timer: PAPPL 1.3.1 runs timers
// holding the system's lock, and these checks take printers' locks, the
// reverse of the order in which PAPPL aborts a job whose document it refuses
// (the printer's lock, then the system's). The two at once stopped every
// thread of the server. Here each printer is looked up by its number and
// checked with no lock of the system's held. The thread touches the system
// only when the timer has just woken it: once the main loop has ended,
// PAPPL deletes the system.
#include <pthread.h>

#include "app.h"

namespace
{

// Plain pthread objects: a condition variable destroyed at exit with the
// thread still waiting on it would hang the exit.
pthread_mutex_t wake_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t wake = PTHREAD_COND_INITIALIZER;
unsigned ticks = 0; // given by the timer
bool started = false;

// The first round also starts the jobs the last run left (job_recovery.cpp).
void check_printers(pappl_system_t *system, bool first, bool status_too)
{
    int active = 0;
    for (int id : system_printer_ids(system)) {
        pappl_printer_t *printer = papplSystemFindPrinter(system, nullptr, id, nullptr);
        if (printer == nullptr || papplPrinterIsDeleted(printer))
            continue;
        if (first)
            recovery_resume(printer);
        job_order_settle(printer, nullptr);
        if (status_too)
            printer_status_check(printer);
        active += papplPrinterGetNumberOfActiveJobs(printer);
    }
    shutdown_jobs_counted(active);
}

[[noreturn]] void *run_checks(void *arg)
{
    auto *system = static_cast<pappl_system_t *>(arg);
    unsigned done = 0;
    for (;;) {
        unsigned tick = 0;
        pthread_mutex_lock(&wake_lock);
        while (ticks == done)
            pthread_cond_wait(&wake, &wake_lock);
        tick = ticks;
        pthread_mutex_unlock(&wake_lock);
        check_printers(system, done == 0, tick % 5 == 1);
        done = tick;
    }
}

// On the main loop's thread: it only wakes the checks, and a tick that
// comes while they run is taken by their next round.
bool periodic_tick(pappl_system_t * /*system*/, void * /*data*/)
{
    pthread_mutex_lock(&wake_lock);
    ticks++;
    pthread_cond_signal(&wake);
    pthread_mutex_unlock(&wake_lock);
    return true;
}

} // namespace

void periodic_checks_start(pappl_system_t *system)
{
    if (started)
        return;
    pthread_t thread{};
    started =
        pthread_create(&thread, nullptr, run_checks, system) == 0 && pthread_detach(thread) == 0;
    if (started)
        papplSystemAddTimerCallback(system, 0, 1, periodic_tick, nullptr);
    else
        papplLog(system, PAPPL_LOGLEVEL_ERROR,
                 "Cannot start the periodic checks: queued jobs wait for the next to end.");
}
