// One printing of each job. PAPPL 1.3.1 can start a second thread for a job
// that is still pending when its printer is checked again before the first
// thread has marked it processing (several jobs arriving at once do it).
// Both threads would then print the same job into the same areas. The first
// to arrive here prints; any other waits until it has finished and reports
// the same result, printing nothing. The job's data pointer holds the claim
// for the job's whole life, so a late second thread is also turned away.
#include <pthread.h>

#include "print_job.h"

static pthread_mutex_t claim_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t claim_done = PTHREAD_COND_INITIALIZER;

// What the job's data pointer holds when no print_job is there.
static char claimed_marker, printed_marker, failed_marker;

// The job this thread prints, and how deep in its callbacks it is (the PDF
// filter claims, then the raster callbacks it calls claim again).
static thread_local pappl_job_t *owned_job = nullptr;
static thread_local int owned_depth = 0;

static bool is_marker(const void *data)
{
    return data == &claimed_marker || data == &printed_marker || data == &failed_marker;
}

bool job_claim(pappl_job_t *job, bool *result)
{
    if (owned_job == job) {
        owned_depth++;
        return true;
    }
    pthread_mutex_lock(&claim_lock);
    void *data = papplJobGetData(job);
    if (data == nullptr) {
        papplJobSetData(job, &claimed_marker);
        owned_job = job;
        owned_depth = 1;
        pthread_mutex_unlock(&claim_lock);
        return true;
    }
    while (data != &printed_marker && data != &failed_marker) {
        pthread_cond_wait(&claim_done, &claim_lock);
        data = papplJobGetData(job);
    }
    *result = data == &printed_marker;
    pthread_mutex_unlock(&claim_lock);
    papplLogJob(job, PAPPL_LOGLEVEL_WARN, "A second start of this job printed nothing.");
    return false;
}

void job_unclaim(pappl_job_t *job, bool result)
{
    if (owned_job != job || --owned_depth > 0)
        return;
    pthread_mutex_lock(&claim_lock);
    papplJobSetData(job, result ? &printed_marker : &failed_marker);
    owned_job = nullptr;
    pthread_cond_broadcast(&claim_done);
    pthread_mutex_unlock(&claim_lock);
}

print_job *job_printing(pappl_job_t *job)
{
    void *data = papplJobGetData(job);
    return is_marker(data) ? nullptr : static_cast<print_job *>(data);
}

void job_set_printing(pappl_job_t *job, print_job *pj)
{
    pthread_mutex_lock(&claim_lock);
    papplJobSetData(job, pj != nullptr ? static_cast<void *>(pj) : &claimed_marker);
    pthread_mutex_unlock(&claim_lock);
}
