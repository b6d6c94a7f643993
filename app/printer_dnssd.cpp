// Every printer is advertised through DNS-SD while it exists. PAPPL 1.3.1
// registers printers only when the server starts or when a DNS-SD setting
// changes: a printer added while the server runs would stay unseen by other
// machines, and so would every printer when avahi-daemon starts (or comes
// back) after the server, until PAPPL's main loop next wakes. A thread of
// our own registers them: PAPPL's event callback runs with the printer
// locked, so registering there would deadlock.
//
// PAPPL keeps one avahi client for the life of the process and never makes
// a new one once the daemon has gone away: after a restart of the daemon
// nothing can be registered any more. The server then stops as on SIGTERM
// (its jobs finish first) and main() starts it again in the same process.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "app.h"

// Where avahi-daemon listens while it runs.
constexpr const char avahi_socket[] = "/run/avahi-daemon/socket";

// After the daemon appears PAPPL's avahi client needs a moment to connect;
// registering again a little later covers a slow connection.
constexpr std::chrono::milliseconds daemon_settle[] = {std::chrono::milliseconds(500),
                                                       std::chrono::milliseconds(2500)};
constexpr std::chrono::seconds daemon_poll(1);

static std::mutex pending_lock;
static std::condition_variable pending_wake;
static std::vector<int> pending_ids; // printers created since the thread last looked
static bool watch_started = false;
static bool own_host_name = false; // the server's host name was given, not avahi's
static pthread_t main_thread;      // where PAPPL's main loop waits
static volatile std::sig_atomic_t restart_wanted = 0;

// Only a missing or refusing socket means the daemon is gone; any other
// failure leaves what was known.
static bool avahi_daemon_running(bool known)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return known;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", avahi_socket);
    bool up = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
    if (!up && errno != ENOENT && errno != ECONNREFUSED)
        up = known;
    close(fd);
    return up;
}

// Setting the name a printer already has makes PAPPL register it anew. A
// printer whose DNS-SD name was cleared on its configuration page stays
// unadvertised.
static void register_printer(pappl_printer_t *printer)
{
    char name[256];
    if (papplPrinterGetDNSSDName(printer, name, sizeof(name)) != nullptr && name[0] != '\0')
        papplPrinterSetDNSSDName(printer, name);
}

// Called with the system's printer list locked, so no printer goes away
// while it is registered.
static void register_if_pending(pappl_printer_t *printer, void *data)
{
    const auto *ids = static_cast<const std::vector<int> *>(data);
    int id = papplPrinterGetID(printer);
    if (std::find(ids->begin(), ids->end(), id) != ids->end() && !papplPrinterIsDeleted(printer))
        register_printer(printer);
}

static void register_any(pappl_printer_t *printer, void * /*data*/)
{
    if (!papplPrinterIsDeleted(printer))
        register_printer(printer);
}

static void register_everything(pappl_system_t *system)
{
    // Without the daemon PAPPL named the host itself; the services must
    // point at the name avahi publishes an address for.
    if (!own_host_name)
        papplSystemSetHostName(system, nullptr);
    char name[256];
    if (papplSystemGetDNSSDName(system, name, sizeof(name)) != nullptr && name[0] != '\0')
        papplSystemSetDNSSDName(system, name);
    papplSystemIteratePrinters(system, register_any, nullptr);
}

using watch_clock = std::chrono::steady_clock;

struct watch_state {
    bool daemon_up = false;
    bool client_lost = false;                  // the daemon went away under PAPPL's client
    std::vector<watch_clock::time_point> redo; // registrations due after the daemon came
    watch_clock::time_point next_poll;
};

// Waits for created printers or the next thing due, whichever comes first;
// returns the printers to register.
static std::vector<int> wait_for_work(const watch_state &state)
{
    watch_clock::time_point until = state.next_poll;
    if (!state.redo.empty())
        until = std::min(until, *std::min_element(state.redo.begin(), state.redo.end()));
    std::unique_lock<std::mutex> hold(pending_lock);
    pending_wake.wait_until(hold, until, [] { return !pending_ids.empty(); });
    std::vector<int> ids;
    ids.swap(pending_ids);
    return ids;
}

static void restart_server(pappl_system_t *system)
{
    papplLog(system, PAPPL_LOGLEVEL_INFO,
             "avahi-daemon has restarted: restarting the server to advertise the printers "
             "again.");
    restart_wanted = 1;
    // PAPPL handles SIGINT as SIGTERM: its main loop, woken where it waits,
    // ends once the jobs are done.
    pthread_kill(main_thread, SIGINT);
}

// The system is looked at only when the daemon came or went: PAPPL gives
// no word before it deletes the system at the end, so the thread stays away
// from it while nothing happens.
static void look_at_daemon(pappl_system_t *system, watch_state &state, watch_clock::time_point now)
{
    bool up = avahi_daemon_running(state.daemon_up);
    if (up == state.daemon_up)
        return;
    bool running = papplSystemIsRunning(system);
    if (!up && state.daemon_up && running)
        state.client_lost = true;
    if (up && !state.daemon_up && state.client_lost) {
        restart_server(system);
    } else if (up && !state.daemon_up && running) {
        papplLog(system, PAPPL_LOGLEVEL_INFO, "avahi-daemon is running: advertising the printers.");
        state.redo.clear();
        for (auto delay : daemon_settle)
            state.redo.push_back(now + delay);
    }
    state.daemon_up = up;
}

static bool registrations_due(watch_state &state, watch_clock::time_point now)
{
    auto due = std::remove_if(state.redo.begin(), state.redo.end(),
                              [now](watch_clock::time_point t) { return t <= now; });
    bool any = due != state.redo.end();
    state.redo.erase(due, state.redo.end());
    return any;
}

[[noreturn]] static void watch(pappl_system_t *system)
{
    watch_state state;
    state.daemon_up = avahi_daemon_running(false);
    state.next_poll = watch_clock::now() + daemon_poll;
    for (;;) {
        std::vector<int> ids = wait_for_work(state);
        if (!ids.empty() && papplSystemIsRunning(system))
            papplSystemIteratePrinters(system, register_if_pending, &ids);
        watch_clock::time_point now = watch_clock::now();
        if (now >= state.next_poll) {
            state.next_poll = now + daemon_poll;
            look_at_daemon(system, state, now);
        }
        if (registrations_due(state, now) && papplSystemIsRunning(system))
            register_everything(system);
    }
}

void printer_dnssd_start(pappl_system_t *system, bool host_name_given)
{
    std::lock_guard<std::mutex> hold(pending_lock);
    if (watch_started)
        return;
    watch_started = true;
    own_host_name = host_name_given;
    main_thread = pthread_self();
    std::thread(watch, system).detach();
}

void printer_dnssd_event(pappl_system_t *system, pappl_printer_t *printer, pappl_event_t event)
{
    // Printers loaded from the state file are registered by PAPPL when the
    // server starts; only those created while it runs need us.
    if (printer == nullptr || (event & PAPPL_EVENT_PRINTER_CREATED) == 0 ||
        !papplSystemIsRunning(system))
        return;
    {
        std::lock_guard<std::mutex> hold(pending_lock);
        pending_ids.push_back(papplPrinterGetID(printer));
    }
    pending_wake.notify_one();
}

bool printer_dnssd_restart_wanted()
{
    return restart_wanted != 0;
}
