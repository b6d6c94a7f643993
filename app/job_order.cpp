// First come, first printed. PAPPL 1.3.1 starts the first pending job of a
// printer's active jobs, which it keeps newest first: with several waiting,
// the newest would print first. So, per printer, only the oldest waiting job
// is ever left pending; every other waiting job is held here ("held for
// order", state pending-held with reason job-queued) and released when its
// turn comes. A job a client holds (job-hold-until) is not waiting until the
// client releases it; it then takes its place by its id, as accepted.
//
// The interface:
//   job_order_settle(printer, ending)  makes the oldest waiting job the only
//       pending one. `ending` is the job whose processing ends in this call's
//       thread (its printer becomes free), or nullptr. Called at the end of
//       every job the drivers print, before PAPPL looks for the next job, by
//       a one-second timer for what arrives or changes meanwhile, and by
//       whoever puts jobs back in the queue (after a restart: call it for
//       each printer once its jobs are loaded).
//   job_order_timer                    the timer; system_create adds it.
//   job_order_is_held(job)             true while the job is held for order.
//
// Nothing here is called with a PAPPL lock held, and PAPPL is never called
// with this file's table lock held: the event callback runs under PAPPL's
// locks and must never wait for a thread that waits for them.
#include <algorithm>
#include <mutex>
#include <vector>

#include "app.h"

namespace
{

struct held_job {
    pappl_printer_t *printer;
    int id;
};

// The jobs held for order, and one settling at a time for the whole system.
std::mutex table_lock;
std::vector<held_job> held;
std::mutex settle_lock;
// Per printer, the pending job a settling found with nothing printing: still
// so at the next second, it was never started, and is started (a job loaded
// at start, say). The gap between PAPPL's choice and the job's start is far
// shorter than a second.
std::vector<held_job> idle_pending;

struct active_job {
    pappl_job_t *job;
    int id;
    ipp_jstate_t state;
    bool has_file;
};

void collect(pappl_job_t *job, void *data)
{
    static_cast<std::vector<active_job> *>(data)->push_back(
        {job, papplJobGetID(job), papplJobGetState(job), papplJobGetFilename(job) != nullptr});
}

bool is_held_for_order(pappl_printer_t *printer, int id)
{
    std::lock_guard<std::mutex> guard(table_lock);
    return std::any_of(held.begin(), held.end(),
                       [&](const held_job &h) { return h.printer == printer && h.id == id; });
}

// Only the jobs that are still held stay in the table: a canceled or
// finished one, or one another party released, is forgotten.
void forget_gone(pappl_printer_t *printer, const std::vector<active_job> &jobs)
{
    std::lock_guard<std::mutex> guard(table_lock);
    held.erase(std::remove_if(held.begin(), held.end(),
                              [&](const held_job &h) {
                                  if (h.printer != printer)
                                      return false;
                                  return std::none_of(
                                      jobs.begin(), jobs.end(), [&](const active_job &a) {
                                          return a.id == h.id && a.state == IPP_JSTATE_HELD;
                                      });
                              }),
               held.end());
}

void hold_for_order(pappl_printer_t *printer, const active_job &a)
{
    if (!papplJobHold(a.job, nullptr, nullptr, 0))
        return;
    papplJobSetReasons(a.job, PAPPL_JREASON_JOB_QUEUED, PAPPL_JREASON_NONE);
    std::lock_guard<std::mutex> guard(table_lock);
    held.push_back({printer, a.id});
}

void release_for_order(pappl_printer_t *printer, const active_job &a)
{
    {
        std::lock_guard<std::mutex> guard(table_lock);
        held.erase(
            std::remove_if(held.begin(), held.end(),
                           [&](const held_job &h) { return h.printer == printer && h.id == a.id; }),
            held.end());
    }
    papplJobSetReasons(a.job, PAPPL_JREASON_NONE, PAPPL_JREASON_JOB_QUEUED);
    papplJobRelease(a.job, nullptr);
}

// Hold and release: the release makes PAPPL look for a job to start.
void start_if_forgotten(pappl_printer_t *printer, const active_job &first,
                        const std::vector<active_job> &jobs)
{
    bool idle = papplPrinterGetState(printer) == IPP_PSTATE_IDLE &&
                std::none_of(jobs.begin(), jobs.end(),
                             [](const active_job &a) { return a.state == IPP_JSTATE_PROCESSING; });
    bool seen = false;
    {
        std::lock_guard<std::mutex> guard(table_lock);
        auto it = std::find_if(idle_pending.begin(), idle_pending.end(),
                               [&](const held_job &h) { return h.printer == printer; });
        seen = it != idle_pending.end() && it->id == first.id && idle;
        if (it != idle_pending.end())
            idle_pending.erase(it);
        if (idle && !seen)
            idle_pending.push_back({printer, first.id});
    }
    if (seen && papplJobHold(first.job, nullptr, nullptr, 0)) {
        papplLogJob(first.job, PAPPL_LOGLEVEL_DEBUG, "Pending with nothing printing: starting it.");
        papplJobRelease(first.job, nullptr);
    }
}

void settle_each(pappl_printer_t *printer, void * /*data*/)
{
    job_order_settle(printer, nullptr);
}

} // namespace

void job_order_settle(pappl_printer_t *printer, pappl_job_t *ending)
{
    if (printer == nullptr)
        return;
    std::lock_guard<std::mutex> settling(settle_lock);
    std::vector<active_job> jobs;
    papplPrinterIterateActiveJobs(printer, collect, &jobs, 1, 0);
    forget_gone(printer, jobs);

    // Waiting: pending, or held here with its document in. A job still
    // receiving its document waits for nothing yet, as in any spooler.
    std::vector<const active_job *> waiting;
    for (const auto &a : jobs) {
        if (a.job == ending)
            continue;
        if (a.state == IPP_JSTATE_PENDING ||
            (a.state == IPP_JSTATE_HELD && a.has_file && is_held_for_order(printer, a.id)))
            waiting.push_back(&a);
    }
    if (waiting.empty())
        return;
    const active_job *first =
        *std::min_element(waiting.begin(), waiting.end(),
                          [](const active_job *x, const active_job *y) { return x->id < y->id; });
    for (const active_job *a : waiting) {
        if (a != first && a->state == IPP_JSTATE_PENDING)
            hold_for_order(printer, *a);
    }
    if (first->state == IPP_JSTATE_HELD)
        release_for_order(printer, *first);
    else if (ending == nullptr)
        start_if_forgotten(printer, *first, jobs);
}

bool job_order_is_held(pappl_job_t *job)
{
    return job != nullptr && is_held_for_order(papplJobGetPrinter(job), papplJobGetID(job));
}

bool job_order_timer(pappl_system_t *system, void * /*data*/)
{
    // The printers first, then each settled without the system's lock.
    std::vector<pappl_printer_t *> printers;
    papplSystemIteratePrinters(
        system,
        [](pappl_printer_t *printer, void *data) {
            static_cast<std::vector<pappl_printer_t *> *>(data)->push_back(printer);
        },
        &printers);
    for (pappl_printer_t *printer : printers)
        settle_each(printer, nullptr);
    return true;
}
