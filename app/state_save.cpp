// When the state file may be written. PAPPL 1.3.1 saves it holding the
// system's lock and then each printer's, while a Print-Job it refuses (a
// raster job while another prints) or whose upload breaks takes the
// printer's lock and then the system's: the two at once stop every thread of
// the server for good. So a save waits while any job is between its creation
// and its end; the end of the last one changes the state again and brings
// the save back. A job that ends without telling (PAPPL reports no end for a
// refused upload) stops holding saves back after a minute, as does a job
// held for later.
#include <ctime>
#include <pthread.h>

#include "app.h"

constexpr int max_live_jobs = 64;
constexpr time_t live_job_limit = 60;

struct live_job {
    const pappl_job_t *job;
    int id;
    time_t created;
};

static pthread_mutex_t live_lock = PTHREAD_MUTEX_INITIALIZER;
static live_job live[max_live_jobs];
static int num_live = 0;

static void forget(int i)
{
    live[i] = live[--num_live];
}

// Called from the event callback, sometimes under PAPPL's locks: it touches
// nothing of PAPPL's but the job's number.
void state_save_event(pappl_job_t *job, pappl_event_t event)
{
    if (job == nullptr || (event & (PAPPL_EVENT_JOB_CREATED | PAPPL_EVENT_JOB_COMPLETED)) == 0)
        return;
    int id = papplJobGetID(job);
    pthread_mutex_lock(&live_lock);
    for (int i = 0; i < num_live; i++) {
        if (live[i].job == job && live[i].id == id)
            forget(i);
    }
    if ((event & PAPPL_EVENT_JOB_CREATED) != 0 && num_live < max_live_jobs)
        live[num_live++] = {job, id, time(nullptr)};
    pthread_mutex_unlock(&live_lock);
}

bool state_save_now(pappl_system_t *system)
{
    // The last save, when the server stops, is always made.
    if (!papplSystemIsRunning(system))
        return true;
    time_t now = time(nullptr);
    pthread_mutex_lock(&live_lock);
    for (int i = num_live - 1; i >= 0; i--) {
        if (now - live[i].created > live_job_limit)
            forget(i);
    }
    bool quiet = num_live == 0;
    pthread_mutex_unlock(&live_lock);
    return quiet;
}
