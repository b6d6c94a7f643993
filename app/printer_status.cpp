// What a printer shows about itself beyond PAPPL's own states: that it is
// paused even while a job PAPPL started anyway waits, and that it cannot
// print ("offline", the one reason of PAPPL 1.3.1's for a device that takes
// nothing) because its port file is missing or unwritable, or because the
// converter has taken no data for a while. CUPS's own backends say
// "offline" for a printer that does not respond; what stops the converter
// (paper, power, a jam) is not known here, so no more is claimed.
#include <algorithm>
#include <ctime>
#include <mutex>
#include <unistd.h>
#include <vector>

#include "app.h"
#include "velokit_port.h"

namespace
{

struct printer_marks {
    pappl_printer_t *printer;
    bool paused = false;
    bool maybe_resumed = false; // a state change since the pause, not yet read
    unsigned pauses = 0;
    bool port_missing = false;
    int stalled_jobs = 0;
};

// Taken by the event callback under PAPPL's locks: PAPPL is never called
// with it held.
std::mutex marks_lock;
std::vector<printer_marks> marks;

printer_marks &marks_of(pappl_printer_t *printer)
{
    auto it = std::find_if(marks.begin(), marks.end(),
                           [&](const printer_marks &m) { return m.printer == printer; });
    if (it != marks.end())
        return *it;
    marks.push_back({printer});
    return marks.back();
}

// The reason follows the marks; PAPPL is told only of a change.
void show_offline(pappl_printer_t *printer)
{
    bool offline = false;
    {
        std::lock_guard<std::mutex> guard(marks_lock);
        const printer_marks &m = marks_of(printer);
        offline = m.port_missing || m.stalled_jobs > 0;
    }
    bool shown = (papplPrinterGetReasons(printer) & PAPPL_PREASON_OFFLINE) != 0;
    if (offline && !shown)
        papplPrinterSetReasons(printer, PAPPL_PREASON_OFFLINE, PAPPL_PREASON_NONE);
    else if (!offline && shown)
        papplPrinterSetReasons(printer, PAPPL_PREASON_NONE, PAPPL_PREASON_OFFLINE);
}

bool port_writable(pappl_printer_t *printer)
{
    char path[PORT_PATH_MAX + 1];
    http_uri_status_t status = HTTP_URI_STATUS_OK;
    const char *uri = papplPrinterGetDeviceURI(printer);
    return port_uri_accepted(uri) && port_uri_path(uri, path, &status) <= PORT_PATH_MAX &&
           access(path, W_OK) == 0;
}

} // namespace

// The event callback runs under PAPPL's locks (a printer's state changes
// with the printer locked for writing), so the state cannot be read there.
// Which change an event is shows in what came before it on the same thread:
// PAPPL reports a job starting or finishing, then the printer's new state,
// in one locked stretch. A change not so preceded is a resume, or accepting
// jobs turned on or off; which of them is settled by the state, read later.
namespace
{
struct thread_mark {
    const pappl_printer_t *printer = nullptr;
    time_t when = 0;
};
thread_local thread_mark last_job_event;

bool follows_job_event(const pappl_printer_t *printer)
{
    return last_job_event.printer == printer && time(nullptr) - last_job_event.when <= 5;
}
} // namespace

void printer_status_event(pappl_printer_t *printer, const pappl_job_t *job, pappl_event_t event)
{
    if (printer == nullptr)
        return;
    bool after_job = follows_job_event(printer);
    last_job_event = {};
    if (job != nullptr &&
        (event & (PAPPL_EVENT_JOB_STATE_CHANGED | PAPPL_EVENT_JOB_COMPLETED)) != 0) {
        last_job_event = {printer, time(nullptr)};
        return;
    }
    std::lock_guard<std::mutex> guard(marks_lock);
    // A printer made later may have a deleted one's address.
    if ((event & (PAPPL_EVENT_PRINTER_CREATED | PAPPL_EVENT_PRINTER_DELETED)) != 0) {
        marks.erase(std::remove_if(marks.begin(), marks.end(),
                                   [&](const printer_marks &m) { return m.printer == printer; }),
                    marks.end());
        return;
    }
    if ((event & PAPPL_EVENT_PRINTER_STATE_CHANGED) == 0)
        return;
    printer_marks &m = marks_of(printer);
    // Only Pause-Printer reports a stop.
    if ((event & PAPPL_EVENT_PRINTER_STOPPED) != 0) {
        m.paused = true;
        m.maybe_resumed = false;
        m.pauses++;
    } else if (m.paused && !after_job) {
        m.maybe_resumed = true;
    }
}

bool printer_paused(pappl_printer_t *printer)
{
    unsigned pauses = 0;
    {
        std::lock_guard<std::mutex> guard(marks_lock);
        printer_marks &m = marks_of(printer);
        if (!m.paused || !m.maybe_resumed)
            return m.paused;
        m.maybe_resumed = false;
        pauses = m.pauses;
    }
    // A resume leaves the printer idle, or printing a job it started since;
    // a paused printer stays stopped when only its accepting changed.
    bool stopped = papplPrinterGetState(printer) == IPP_PSTATE_STOPPED;
    std::lock_guard<std::mutex> guard(marks_lock);
    printer_marks &m = marks_of(printer);
    if (!stopped && m.pauses == pauses)
        m.paused = false;
    return m.paused;
}

void printer_port_seen(pappl_printer_t *printer, bool writable)
{
    {
        std::lock_guard<std::mutex> guard(marks_lock);
        marks_of(printer).port_missing = !writable;
    }
    show_offline(printer);
}

void printer_stalled(pappl_printer_t *printer, bool stalled)
{
    {
        std::lock_guard<std::mutex> guard(marks_lock);
        int &count = marks_of(printer).stalled_jobs;
        count = std::max(0, count + (stalled ? 1 : -1));
    }
    show_offline(printer);
}

// An idle printer's port is looked at; a job's own start looks at it too.
void printer_status_check(pappl_printer_t *printer)
{
    if (papplPrinterGetState(printer) != IPP_PSTATE_PROCESSING)
        printer_port_seen(printer, port_writable(printer));
}
