// The system's events (printers created, deleted or changed, jobs created,
// changed or finished), as PAPPL reports them to its one event callback: what
// the application keeps up to date with them starts here.
#include "app.h"

void system_event(pappl_system_t *system, pappl_printer_t *printer, pappl_job_t *job,
                  pappl_event_t event, void * /*data*/)
{
    printer_dnssd_event(system, printer, event);
    printer_status_event(printer, job, event);
    if (event == PAPPL_EVENT_JOB_CREATED)
        state_job_created(system, printer, job);
}
