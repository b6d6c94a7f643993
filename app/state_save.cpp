// The state file: the printers, and every job with its spooled document, as
// the next start finds them. PAPPL saves it only when its main loop wakes,
// seconds after a job was answered; a server killed meanwhile lost the job
// and gave its id out again. Here the file is written at once when a job is
// created (its id, so no id is given twice) and again as soon as its document
// is spooled.
//
// Never while another job's document is still arriving: PAPPL 1.3.1 saves
// holding the system's lock and then each printer's, while a Print-Job whose
// upload it gives up on (a broken connection, a refusal) takes the printer's
// lock and then the system's, and the two at once stop every thread of the
// server for good. Such a save waits until those documents are in (or an
// arrival has taken a minute); a job's own arrival cannot race its save, as
// both run on its client's thread.
//
// And always whole. The confined service may write the state file but not
// the directory it is in, so no copy can be renamed over it: a copy is
// written whole in the spool directory first, renamed there to "state.saved"
// and copied into the state file, then removed. A start that finds it (a
// crash while it was copied) takes it as the latest state.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#include <vector>

#include "app.h"

// Every save goes through here in turn: PAPPL's own (the save callback, on
// the main loop) and this file's, from client threads and the watcher.
static pthread_mutex_t save_lock = PTHREAD_MUTEX_INITIALIZER;
static char state_path[1024];
// The copy being written, then the whole one, in the spool directory.
static char copy_path[1024];
static char saved_path[1024];

// The jobs whose document is still being received: printer and job ids, as
// a job may be deleted while it is watched.
struct receiving_job {
    int printer_id;
    int job_id;
    time_t since;
};
static pthread_mutex_t receiving_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t receiving_added = PTHREAD_COND_INITIALIZER;
static std::vector<receiving_job> receiving;
static bool watcher_running = false;
// A save put off for a document still arriving; the watcher makes it.
static bool save_put_off = false;
// An arrival that takes longer than this no longer holds saves back.
constexpr time_t receiving_hold_seconds = 60;

// A document's arrival is seen within a millisecond while it is new, which
// is the window in which a crash can still lose the name of a document
// already answered for (job_recovery.cpp finds it again). Jobs that wait
// longer (a long upload, a Create-Job whose document never comes) are
// looked at ten times a second, so that many of them cost little.
constexpr long fresh_poll_ns = 1000L * 1000;
constexpr long slow_poll_ns = 100L * 1000 * 1000;
constexpr time_t fresh_seconds = 10;

void state_paths_set(const char *state_file, const char *spool_dir)
{
    std::snprintf(state_path, sizeof(state_path), "%s", state_file);
    std::snprintf(copy_path, sizeof(copy_path), "%s/state.new", spool_dir);
    std::snprintf(saved_path, sizeof(saved_path), "%s/state.saved", spool_dir);
}

const char *state_latest()
{
    return access(saved_path, F_OK) == 0 ? saved_path : state_path;
}

// Readable by no one else: the file holds the web interface's password hash.
static int create_private(const char *path)
{
    return open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
}

static bool write_all(int fd, const char *data, std::size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// The whole copy into the state file, in place; then the copy goes.
static bool install_saved()
{
    int in = open(saved_path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    int out = in >= 0 ? create_private(state_path) : -1;
    bool ok = out >= 0;
    char area[8192];
    for (ssize_t n = 1; ok && n > 0;) {
        n = read(in, area, sizeof(area));
        ok = n >= 0 && write_all(out, area, static_cast<std::size_t>(n > 0 ? n : 0));
    }
    ok = (out < 0 || close(out) == 0) && ok;
    if (in >= 0)
        close(in);
    return ok && unlink(saved_path) == 0;
}

// Called with the save lock held; the copy at copy_path is whole.
static bool install_copy()
{
    return rename(copy_path, saved_path) == 0 && install_saved();
}

bool state_write(const char *data, std::size_t size)
{
    pthread_mutex_lock(&save_lock);
    int fd = create_private(copy_path);
    bool ok = fd >= 0 && write_all(fd, data, size);
    ok = (fd < 0 || close(fd) == 0) && ok && install_copy();
    pthread_mutex_unlock(&save_lock);
    return ok;
}

// Called with the save lock held.
static bool save_locked(pappl_system_t *system)
{
    // Created first, so PAPPL writes into a file of this mode.
    int fd = create_private(copy_path);
    bool saved =
        fd >= 0 && close(fd) == 0 && papplSystemSaveState(system, copy_path) && install_copy();
    if (!saved)
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to save the state to '%s': %s", state_path,
                 std::strerror(errno));
    return saved;
}

// True when a document still arriving must hold a save back; the server's
// last save, when it stops, is never held.
static bool arrivals_block_save(pappl_system_t *system)
{
    if (!papplSystemIsRunning(system))
        return false;
    time_t now = time(nullptr);
    pthread_mutex_lock(&receiving_lock);
    bool blocked = std::any_of(receiving.begin(), receiving.end(), [now](const receiving_job &r) {
        return now - r.since < receiving_hold_seconds;
    });
    if (blocked)
        save_put_off = true;
    pthread_mutex_unlock(&receiving_lock);
    return blocked;
}

bool state_save(pappl_system_t *system)
{
    if (state_path[0] == '\0')
        return false;
    pthread_mutex_lock(&save_lock);
    bool saved = arrivals_block_save(system) || save_locked(system);
    pthread_mutex_unlock(&save_lock);
    return saved;
}

// True while the job still waits for its document.
static bool still_receiving(pappl_system_t *system, const receiving_job &r, bool *spooled)
{
    *spooled = false;
    pappl_printer_t *printer = papplSystemFindPrinter(system, nullptr, r.printer_id, nullptr);
    pappl_job_t *job = printer != nullptr ? papplPrinterFindJob(printer, r.job_id) : nullptr;
    if (job == nullptr)
        return false;
    if (papplJobGetFilename(job) != nullptr) {
        *spooled = true;
        return false;
    }
    // Streamed, refused or aborted: nothing spooled that a restart could use.
    return papplJobGetState(job) < IPP_JSTATE_PROCESSING;
}

// Until the next look: a new job wakes the watcher at once.
static void wait_next_look(bool fresh)
{
    timespec until{};
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += fresh ? fresh_poll_ns : slow_poll_ns;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec++;
        until.tv_nsec -= 1000000000L;
    }
    pthread_cond_timedwait(&receiving_added, &receiving_lock, &until);
}

// The jobs are looked at without the list's lock: PAPPL's look-ups take its
// locks, and a client thread creating a job waits for the list while it
// holds the system's.
static void *watch_receiving(void *arg)
{
    auto *system = static_cast<pappl_system_t *>(arg);
    // Job ids are per printer: a job is its printer's id and its own.
    std::vector<receiving_job> done;
    pthread_mutex_lock(&receiving_lock);
    for (;;) {
        while (receiving.empty())
            pthread_cond_wait(&receiving_added, &receiving_lock);
        std::vector<receiving_job> looked = receiving;
        pthread_mutex_unlock(&receiving_lock);
        bool save = false;
        bool fresh = false;
        time_t now = time(nullptr);
        done.clear();
        for (const receiving_job &r : looked) {
            bool spooled = false;
            if (still_receiving(system, r, &spooled))
                fresh = fresh || now - r.since < fresh_seconds;
            else
                done.push_back(r);
            save = save || spooled;
        }
        pthread_mutex_lock(&receiving_lock);
        std::erase_if(receiving, [&done](const receiving_job &r) {
            return std::ranges::any_of(done, [&r](const receiving_job &d) {
                return d.printer_id == r.printer_id && d.job_id == r.job_id;
            });
        });
        save = save || (save_put_off && receiving.empty());
        if (save) {
            save_put_off = false;
            pthread_mutex_unlock(&receiving_lock);
            state_save(system);
            pthread_mutex_lock(&receiving_lock);
        }
        if (!receiving.empty())
            wait_next_look(fresh);
    }
    return nullptr;
}

// A job just created: its record and id are saved before its client hears
// of it, and its document is watched for. Called from the event callback on
// the client's thread, which holds only read locks, as saving takes. The job
// joins the watched ones before the save lock goes, so no other save can
// start while its upload may still be given up.
void state_job_created(pappl_system_t *system, pappl_printer_t *printer, pappl_job_t *job)
{
    // Jobs created while the state is loaded are the file's own.
    if (!papplSystemIsRunning(system) || state_path[0] == '\0')
        return;
    pthread_mutex_lock(&save_lock);
    if (!arrivals_block_save(system))
        save_locked(system);
    pthread_mutex_lock(&receiving_lock);
    if (!watcher_running) {
        pthread_t thread{};
        watcher_running = pthread_create(&thread, nullptr, watch_receiving, system) == 0 &&
                          pthread_detach(thread) == 0;
        if (!watcher_running)
            papplLog(system, PAPPL_LOGLEVEL_ERROR,
                     "Cannot watch documents being received; they are saved later.");
    }
    receiving.push_back({papplPrinterGetID(printer), papplJobGetID(job), time(nullptr)});
    pthread_cond_signal(&receiving_added);
    pthread_mutex_unlock(&receiving_lock);
    pthread_mutex_unlock(&save_lock);
}
