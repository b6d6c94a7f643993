// First come, first printed. PAPPL 1.3.1 starts the first pending job of a
// printer's active jobs, which it keeps newest first: with several waiting,
// the newest would print first. And a job that arrives while PAPPL is
// starting another (it has picked it, its thread has not yet taken the
// printer) is started too, at the same time.
//
// So, while a printer prints or has jobs waiting, it holds new jobs
// (PAPPL's hold-new-jobs: they arrive pending-held and PAPPL starts nothing
// for them), and only the oldest waiting job is ever pending; the others are
// held, with reason job-queued. At the end of each job the next one is
// released before PAPPL looks for it; with nothing left, new jobs are no
// longer held. A job a client holds (job-hold-until, Hold-Job) is not
// waiting until the client releases it; it then takes its place by its id,
// as accepted.
//
// The interface:
//   job_order_settle(printer, ending)  makes the oldest waiting job the only
//       pending one. `ending` is the job whose processing ends in this call's
//       thread (its printer becomes free), or nullptr. Called at the end of
//       every job the drivers print, before PAPPL looks for the next job, by
//       the periodic checks every second for what changes meanwhile (a release, a resume,
//       a job that failed before the drivers saw it), and by whoever puts
//       jobs back in the queue (after a restart: hold the loaded jobs that
//       are to print again, papplJobHold(job, nullptr, nullptr, 0), then
//       call it for each printer; it releases the oldest, which starts).
//   job_order_started(job)             a job's processing begins: new jobs
//       are held from now on.
//
// Nothing here is called with a PAPPL lock held.
#include <algorithm>
#include <mutex>
#include <vector>

#include "app.h"

namespace
{

// One settling at a time for the whole system.
std::mutex settle_lock;

struct active_job {
    pappl_job_t *job;
    int id;
    ipp_jstate_t state;
    bool has_file;
    bool client_hold; // job-hold-until, given or set since by Hold-Job
};

void collect(pappl_job_t *job, void *data)
{
    static_cast<std::vector<active_job> *>(data)->push_back(
        {job, papplJobGetID(job), papplJobGetState(job), papplJobGetFilename(job) != nullptr,
         (papplJobGetReasons(job) & PAPPL_JREASON_JOB_HOLD_UNTIL_SPECIFIED) != 0});
}

// Waiting: pending, or held for order (not by a client) with its document
// in. A job still receiving its document waits for nothing yet.
bool is_waiting(const active_job &a)
{
    return a.state == IPP_JSTATE_PENDING ||
           (a.state == IPP_JSTATE_HELD && a.has_file && !a.client_hold);
}

void hold_for_order(const active_job &a)
{
    if (papplJobHold(a.job, nullptr, nullptr, 0))
        papplJobSetReasons(a.job, PAPPL_JREASON_JOB_QUEUED, PAPPL_JREASON_NONE);
}

void release_for_order(const active_job &a)
{
    papplJobSetReasons(a.job, PAPPL_JREASON_NONE, PAPPL_JREASON_JOB_QUEUED);
    papplJobRelease(a.job, nullptr);
}

void hold_new_jobs(pappl_printer_t *printer, bool hold)
{
    if (hold && !papplPrinterIsHoldingNewJobs(printer))
        papplPrinterHoldNewJobs(printer);
    else if (!hold && papplPrinterIsHoldingNewJobs(printer))
        papplPrinterReleaseHeldNewJobs(printer, nullptr);
}

} // namespace

void job_order_settle(pappl_printer_t *printer, const pappl_job_t *ending)
{
    if (printer == nullptr)
        return;
    std::lock_guard<std::mutex> settling(settle_lock);
    std::vector<active_job> jobs;
    papplPrinterIterateActiveJobs(printer, collect, &jobs, 1, 0);

    const active_job *first = nullptr;
    bool printing = false;
    bool incoming = false;
    for (const auto &a : jobs) {
        if (a.job == ending)
            continue;
        printing = printing || a.state == IPP_JSTATE_PROCESSING;
        // Held until its document arrives: PAPPL's release of held new jobs
        // would start it without one. While there is one, new jobs stay
        // held if they are, and the periodic checks start them.
        incoming = incoming || (a.state == IPP_JSTATE_HELD && !a.has_file && !a.client_hold);
        if (is_waiting(a) && (first == nullptr || a.id < first->id))
            first = &a;
    }
    // Before any release: what arrives meanwhile must not start on its own.
    bool hold = printing || first != nullptr;
    if (hold || !incoming)
        hold_new_jobs(printer, hold);
    if (first == nullptr)
        return;
    for (const auto &a : jobs) {
        if (&a != first && a.job != ending && a.state == IPP_JSTATE_PENDING)
            hold_for_order(a);
    }
    if (first->state == IPP_JSTATE_HELD)
        release_for_order(*first);
}

void job_order_started(pappl_job_t *job)
{
    hold_new_jobs(papplJobGetPrinter(job), true);
}
