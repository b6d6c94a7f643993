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

namespace
{

// Where avahi-daemon listens while it runs.
constexpr const char avahi_socket[] = "/run/avahi-daemon/socket";

// After the daemon appears PAPPL's avahi client needs a moment to connect;
// registering again a little later covers a slow connection.
constexpr std::chrono::milliseconds daemon_settle[] = {std::chrono::milliseconds(500),
                                                       std::chrono::milliseconds(2500)};
constexpr std::chrono::seconds daemon_poll(1);

std::mutex pending_lock;
std::condition_variable pending_wake;
std::vector<int> pending_ids; // printers created since the thread last looked
bool watch_started = false;
bool own_host_name = false; // the server's host name was given, not avahi's
pthread_t main_thread;      // where PAPPL's main loop waits
volatile std::sig_atomic_t restart_wanted = 0;

bool avahi_daemon_running()
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", avahi_socket);
    bool up = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
    close(fd);
    return up;
}

// Setting the name a printer already has makes PAPPL register it anew.
void register_printer(pappl_printer_t *printer)
{
    char name[256];
    if (papplPrinterGetDNSSDName(printer, name, sizeof(name)) == nullptr || name[0] == '\0')
        std::snprintf(name, sizeof(name), "%s", papplPrinterGetName(printer));
    papplPrinterSetDNSSDName(printer, name);
}

// Called with the system's printer list locked, so no printer goes away
// while it is registered.
void register_if_pending(pappl_printer_t *printer, void *data)
{
    const auto *ids = static_cast<const std::vector<int> *>(data);
    int id = papplPrinterGetID(printer);
    for (int pending : *ids) {
        if (pending == id && !papplPrinterIsDeleted(printer)) {
            register_printer(printer);
            return;
        }
    }
}

void register_any(pappl_printer_t *printer, void * /*data*/)
{
    if (!papplPrinterIsDeleted(printer))
        register_printer(printer);
}

void register_everything(pappl_system_t *system)
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

// Waits for created printers or the next look at the daemon, whichever
// comes first; returns the printers to register.
std::vector<int> wait_for_work(std::chrono::steady_clock::time_point until)
{
    std::unique_lock<std::mutex> hold(pending_lock);
    pending_wake.wait_until(hold, until, [] { return !pending_ids.empty(); });
    std::vector<int> ids;
    ids.swap(pending_ids);
    return ids;
}

[[noreturn]] void watch(pappl_system_t *system)
{
    using clock = std::chrono::steady_clock;
    bool daemon_up = avahi_daemon_running();
    bool client_lost = false;            // the daemon went away under PAPPL's client
    std::vector<clock::time_point> redo; // registrations due after the daemon appeared
    clock::time_point next_poll = clock::now() + daemon_poll;
    for (;;) {
        clock::time_point until = next_poll;
        for (auto t : redo)
            until = std::min(until, t);
        std::vector<int> ids = wait_for_work(until);
        bool running = papplSystemIsRunning(system);
        if (running && !ids.empty())
            papplSystemIteratePrinters(system, register_if_pending, &ids);

        clock::time_point now = clock::now();
        if (now >= next_poll) {
            next_poll = now + daemon_poll;
            bool up = avahi_daemon_running();
            if (!up && daemon_up && running)
                client_lost = true;
            if (up && !daemon_up && client_lost) {
                papplLog(system, PAPPL_LOGLEVEL_INFO,
                         "avahi-daemon has restarted: restarting the server to advertise the "
                         "printers again.");
                restart_wanted = 1;
                // PAPPL's handler: the main loop ends once the jobs are done.
                pthread_kill(main_thread, SIGTERM);
            } else if (up && !daemon_up && running) {
                papplLog(system, PAPPL_LOGLEVEL_INFO,
                         "avahi-daemon is running: advertising the printers.");
                redo.clear();
                for (auto delay : daemon_settle)
                    redo.push_back(now + delay);
            }
            daemon_up = up;
        }
        bool due = false;
        for (auto it = redo.begin(); it != redo.end();) {
            if (*it <= now) {
                due = true;
                it = redo.erase(it);
            } else {
                ++it;
            }
        }
        if (due && running)
            register_everything(system);
    }
}

} // namespace

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
