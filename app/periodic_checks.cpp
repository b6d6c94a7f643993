// What the server looks at again and again: every second, jobs that arrived
// while another printed take their place in the order (job_order.cpp); every
// 5 seconds, an idle printer's port is there (printer_status.cpp).
//
// On a thread of its own, not as PAPPL's timers: PAPPL 1.3.1 runs timers
// holding the system's lock, and these checks take printers' locks, the
// reverse of the order in which PAPPL aborts a job whose document it refuses
// (the printer's lock, then the system's). The two at once stopped every
// thread of the server. Here each printer is looked up by its number and
// checked with no lock of the system's held.
#include <ctime>
#include <mutex>
#include <pthread.h>

#include "app.h"

namespace
{

std::mutex start_lock;
bool started = false;

void check_printers(pappl_system_t *system, bool status_too)
{
    for (int id : system_printer_ids(system)) {
        pappl_printer_t *printer = papplSystemFindPrinter(system, nullptr, id, nullptr);
        if (printer == nullptr || papplPrinterIsDeleted(printer))
            continue;
        job_order_settle(printer, nullptr);
        if (status_too)
            printer_status_check(printer);
    }
}

void *run_checks(void *arg)
{
    auto *system = static_cast<pappl_system_t *>(arg);
    bool ran = false;
    const timespec second{1, 0};
    for (unsigned tick = 0;; tick++) {
        nanosleep(&second, nullptr);
        bool running = papplSystemIsRunning(system);
        // Once the system has stopped, its printers are being taken down.
        if (ran && !running)
            return nullptr;
        if (!running)
            continue;
        ran = true;
        check_printers(system, tick % 5 == 0);
    }
}

} // namespace

void periodic_checks_start(pappl_system_t *system)
{
    std::lock_guard<std::mutex> guard(start_lock);
    if (started)
        return;
    pthread_t thread{};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    started = pthread_create(&thread, &attr, run_checks, system) == 0;
    pthread_attr_destroy(&attr);
    if (!started)
        papplLog(system, PAPPL_LOGLEVEL_ERROR,
                 "Cannot start the periodic checks: queued jobs wait for the next to end.");
}
