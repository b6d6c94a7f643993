// A job made by Create-Job is held by PAPPL until its document comes.
// PAPPL 1.3.1 releases it like any held job (Release-Job, by its owner;
// Release-Held-New-Jobs) and then starts it without a document, which ends
// the server: anyone who may print could stop it. Such a release is
// refused until the document has come.
#include <cstring>

#include "app.h"

static bool awaits_document(pappl_job_t *job)
{
    return papplJobGetState(job) == IPP_JSTATE_HELD && papplJobGetFilename(job) == nullptr;
}

static void count_awaiting(pappl_job_t *job, void *data)
{
    if (awaits_document(job))
        ++*static_cast<int *>(data);
}

int jobs_awaiting_document(pappl_printer_t *printer)
{
    int count = 0;
    papplPrinterIterateActiveJobs(printer, count_awaiting, &count, 1, 0);
    return count;
}

bool release_would_start_empty_job(pappl_client_t *client, ipp_t *request)
{
    ipp_op_t op = ippGetOperation(request);
    if (op == IPP_OP_RELEASE_JOB) {
        pappl_job_t *job = papplClientGetJob(client);
        return job != nullptr && awaits_document(job);
    }
    pappl_printer_t *printer = papplClientGetPrinter(client);
    return op == IPP_OP_RELEASE_HELD_NEW_JOBS && printer != nullptr &&
           papplPrinterIsHoldingNewJobs(printer) && jobs_awaiting_document(printer) > 0;
}
