// Stopping the server (SIGTERM or SIGINT, the shutdown sub-command or a
// Shutdown request, a service manager's stop) within seconds, whatever the
// converters do. PAPPL 1.3.1 would first print every queued job, and never
// stop while a converter takes no data. Here every printing job is stopped as
// a cancel stops it (its converter's group ended, the control daemon told),
// but not cancelled: it stays in the saved state, with its document and the
// jobs waiting behind it, and prints from its start after the next start
// (job_recovery.cpp).
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <unistd.h>
#include <vector>

#include "print_job.h"

// Seconds for the converters to end after SIGTERM before their groups are
// killed, then for everything to be saved: well within the 10 seconds a
// stop may take, the control daemon's 5-second wait for a reply included.
constexpr int term_grace_ms = 3000;
constexpr int kill_grace_ms = 2000;
constexpr long wait_step_ns = 10L * 1000 * 1000;

static volatile sig_atomic_t stop_signalled = 0;
static std::atomic<bool> stopping{false};

// The jobs whose converters may run: started and not yet released.
static pthread_mutex_t printing_lock = PTHREAD_MUTEX_INITIALIZER;
static std::vector<print_job *> printing;
// The job threads kept waiting for the end of the process.
static std::atomic<int> parked{0};

bool server_stopping()
{
    return stopping;
}

bool job_halted(print_job *pj)
{
    return stopping || job_canceled(pj->job);
}

void printing_add(print_job *pj)
{
    pthread_mutex_lock(&printing_lock);
    printing.push_back(pj);
    pthread_mutex_unlock(&printing_lock);
}

void printing_remove(print_job *pj)
{
    pthread_mutex_lock(&printing_lock);
    printing.erase(std::remove(printing.begin(), printing.end(), pj), printing.end());
    pthread_mutex_unlock(&printing_lock);
}

static std::size_t printing_count()
{
    pthread_mutex_lock(&printing_lock);
    std::size_t n = printing.size();
    pthread_mutex_unlock(&printing_lock);
    return n;
}

static void kill_converters()
{
    pthread_mutex_lock(&printing_lock);
    for (print_job *pj : printing) {
        pthread_mutex_lock(&pj->converter_lock);
        if (pj->converter_pid > 0 && !pj->converter_reaped)
            kill(-pj->converter_pid, SIGKILL);
        pthread_mutex_unlock(&pj->converter_lock);
    }
    pthread_mutex_unlock(&printing_lock);
}

static bool wait_for(bool (*done)(int), int arg, int limit_ms)
{
    timespec step{0, wait_step_ns};
    for (int waited = 0; !done(arg); waited += static_cast<int>(wait_step_ns / 1000000)) {
        if (waited >= limit_ms)
            return false;
        nanosleep(&step, nullptr);
    }
    return true;
}

static bool none_printing(int /*unused*/)
{
    return printing_count() == 0;
}

static bool all_parked(int count)
{
    return parked >= count;
}

bool job_park_when_stopped(pappl_job_t *job, bool ok)
{
    if (ok || !stopping || job_canceled(job) || papplJobGetFilename(job) == nullptr)
        return ok;
    papplLogJob(job, PAPPL_LOGLEVEL_INFO,
                "Stopped by the server's shutdown; it prints from its start after the next start.");
    parked++;
    // Returning would let PAPPL finish the job and remove its document; the
    // thread waits for the process to end instead.
    for (;;)
        pause();
}

static int spooled_printing()
{
    int n = 0;
    pthread_mutex_lock(&printing_lock);
    for (print_job *pj : printing)
        n += papplJobGetFilename(pj->job) != nullptr ? 1 : 0;
    pthread_mutex_unlock(&printing_lock);
    return n;
}

// Counted by the periodic checks: PAPPL runs timers holding the system's
// lock, under which no printer's may be taken (periodic_checks.cpp).
static std::atomic<int> jobs_counted{0};

void shutdown_jobs_counted(int active_jobs)
{
    jobs_counted = active_jobs;
}

// On the main loop's thread, which it never leaves: PAPPL's own end of the
// loop would wait for the jobs kept here.
[[noreturn]] static void stop_now(pappl_system_t *system)
{
    int spooled = spooled_printing();
    papplLog(system, PAPPL_LOGLEVEL_INFO,
             "Shutting down: printing jobs are stopped and kept for the next start.");
    // The cancel watchers see this and act as for a cancel.
    stopping = true;
    if (!wait_for(none_printing, 0, term_grace_ms)) {
        papplLog(system, PAPPL_LOGLEVEL_WARN, "A converter did not end; its group is killed.");
        kill_converters();
        wait_for(none_printing, 0, kill_grace_ms);
    }
    wait_for(all_parked, spooled, kill_grace_ms);
    state_save(system);
    papplLog(system, PAPPL_LOGLEVEL_INFO, "Shut down.");
    std::_Exit(0);
}

static void stop_signal(int /*signal*/)
{
    stop_signalled = 1;
}

// PAPPL's own handler makes it wait for every queued job; this one replaces
// it once PAPPL has installed it, at the main loop's first turn.
static void catch_stop_signals()
{
    struct sigaction action {
    };
    action.sa_handler = stop_signal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

static bool shutdown_check(pappl_system_t *system, void * /*data*/)
{
    static bool signals_caught = false;
    if (!signals_caught) {
        catch_stop_signals();
        signals_caught = true;
    }
    if (stop_signalled != 0)
        papplSystemShutdown(system);
    if (!papplSystemIsShutdown(system))
        return true;
    // A restart for DNS-SD (printer_dnssd.cpp) lets the jobs finish first,
    // as PAPPL does, up to its limit of a minute.
    if (printer_dnssd_restart_wanted())
        return true;
    // With no job left PAPPL ends its loop by itself, at its next turn.
    if (jobs_counted > 0)
        stop_now(system);
    return true;
}

void shutdown_setup(pappl_system_t *system)
{
    // Every second: the loop then wakes at least that often, and a stop
    // is acted on within a second of its request.
    papplSystemAddTimerCallback(system, time(nullptr), 1, shutdown_check, nullptr);
}
