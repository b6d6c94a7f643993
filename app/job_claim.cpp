// One printing of each job. PAPPL 1.3.1 can start a second thread for a job
// that is still pending when its printer is checked again before the first
// thread has marked it processing (several jobs arriving at once do it).
// Both threads would then print the same job into the same areas, and both
// would finish it: PAPPL would list the job twice among the completed ones
// and later free it while one entry still points to it. The first thread to
// arrive here prints. A second one that comes while the first still prints
// ends there and then, so that PAPPL finishes the job once; one that comes
// after it finished reports the same result and prints nothing. The job's
// data pointer holds the claim for the job's whole life.
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

job_claim_t job_claim(pappl_job_t *job, bool *result)
{
    if (owned_job == job) {
        owned_depth++;
        return CLAIM_OWNER;
    }
    pthread_mutex_lock(&claim_lock);
    void *data = papplJobGetData(job);
    job_claim_t claim = CLAIM_PRINTING_ELSEWHERE;
    if (data == nullptr) {
        papplJobSetData(job, &claimed_marker);
        owned_job = job;
        owned_depth = 1;
        claim = CLAIM_OWNER;
    } else if (data == &printed_marker || data == &failed_marker) {
        *result = data == &printed_marker;
        claim = CLAIM_PRINTED_ELSEWHERE;
    }
    pthread_mutex_unlock(&claim_lock);
    if (claim != CLAIM_OWNER)
        papplLogJob(job, PAPPL_LOGLEVEL_WARN, "A second start of this job printed nothing.");
    return claim;
}

bool job_claim_wait(pappl_job_t *job)
{
    pthread_mutex_lock(&claim_lock);
    void *data = papplJobGetData(job);
    while (data != &printed_marker && data != &failed_marker) {
        pthread_cond_wait(&claim_done, &claim_lock);
        data = papplJobGetData(job);
    }
    pthread_mutex_unlock(&claim_lock);
    return data == &printed_marker;
}

// PAPPL's job thread, called with no lock of PAPPL's held: ending it here
// skips PAPPL's second finishing of the job.
void job_thread_end()
{
    pthread_exit(nullptr);
}

bool job_filter_claim(pappl_job_t *job, pappl_pr_options_t *options, bool *result)
{
    *result = false;
    job_claim_t claim = job_claim(job, result);
    if (claim == CLAIM_PRINTING_ELSEWHERE) {
        // PAPPL made the options for this thread alone.
        if (options != nullptr)
            papplJobDeletePrintOptions(options);
        job_thread_end();
    }
    return claim == CLAIM_OWNER;
}

bool job_filter_done(pappl_job_t *job, bool result)
{
    job_unclaim(job, result);
    return job_park_when_stopped(job, result);
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
