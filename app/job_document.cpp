// A job's document as the print callbacks read it. PAPPL removes the spool
// file of a job cancelled before it started, and a job can still reach the
// callbacks after that (a cancel that lands while PAPPL starts the job): the
// document is gone, and only that job may fail for it.
#include <cstdio>

#include "app.h"

bool job_document_path(pappl_job_t *job, char *path, std::size_t size)
{
    const char *filename = papplJobGetFilename(job);
    if (filename == nullptr || *filename == '\0' ||
        std::snprintf(path, size, "%s", filename) >= static_cast<int>(size)) {
        papplJobSetMessage(job, "The job's document is no longer there.");
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR,
                    "The job's document is no longer there (cancelled before it printed).");
        return false;
    }
    return true;
}
