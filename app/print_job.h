// One job of the printer application, from its first row to the port: the
// converter it started, the thread copying the converter's output to the
// port and the thread watching for a cancel.
#pragma once

#include <atomic>
#include <cstdio>
#include <pthread.h>
#include <sys/types.h>

#include "app.h"
#include "converter.h"
#include "filter_settings.h"
#include "velokit_port.h"

struct print_job {
    pappl_job_t *job = nullptr;
    const model_info *model = nullptr;
    filter_settings settings{};

    int port = -1; // the port, open for writing while the job prints

    // The converter, from the first page on. Its pid is its process group;
    // converter_lock guards it against the cancel watcher, which must never
    // signal a group whose leader has been reaped and its number reused.
    FILE *converter = nullptr;
    pid_t converter_pid = 0;
    bool converter_reaped = false;
    bool canceled = false; // the watcher has acted: no converter may start
    pthread_mutex_t converter_lock = PTHREAD_MUTEX_INITIALIZER;

    // The copy of the converter's output to the port, on a thread of its own.
    int output = -1; // read end of the converter's standard output
    pthread_t copier{};
    bool copier_running = false;
    std::atomic<bool> copy_failed{false};
    char copy_message[PORT_PATH_MAX + 128] = "";

    // Whether data moves: the job thread inside a write to the converter,
    // and when a row was last taken or output last read (monotonic seconds).
    std::atomic<bool> writing{false};
    std::atomic<long> progress_at{0};
    bool stalled = false; // the watcher's, as it last told the printer

    // The cancel watcher.
    pthread_t watcher{};
    bool watcher_running = false;
    std::atomic<bool> finished{false};

    bool failed = false;                // a row could not be handed to the converter
    unsigned page_rows = 0;             // rows the page's header announces
    unsigned rows_received = 0;         // rows of the page handed over so far
    const model_media *media = nullptr; // the job's, from the first page

    // The page's imageable area in the raster PAPPL hands over, which covers
    // the whole sheet: the converter gets these rows and columns only, as the
    // classic driver's renderer gives them.
    unsigned area_x = 0, area_y = 0, area_width = 0, area_height = 0;
    unsigned pixel_bytes = 0;
    unsigned char *row = nullptr;
    std::size_t row_size = 0; // row_stride of the area's rows

    char stream_area[converter_buffer_size];
    char copy_area[PORT_CHUNK_SIZE * 8];
};

// job_port.cpp: the port opened, waiting while it is busy; the converter's
// output copied to it.
bool port_open_waiting(print_job *pj);
bool copier_start(print_job *pj);
// Waits for the copy to end; false when the port did not get everything.
bool copier_finish(print_job *pj);

// job_stall.cpp: a converter that takes nothing for a while shows on the job
// and the printer; the watcher checks, the rows and the copy report progress.
void stall_progress(print_job *pj);
void stall_check(print_job *pj);
void stall_end(print_job *pj);

// job_cancel.cpp: a cancel stops the job's converter and tells the daemon.
// True once the job is cancelled. Not when PAPPL has marked it aborted: a
// job that failed still ends its converter as every job does, and says why.
bool job_canceled(pappl_job_t *job);
bool watcher_start(print_job *pj);
void watcher_stop(print_job *pj);

// job_claim.cpp: one thread prints each job. A second thread PAPPL started
// for the same job finds it printing elsewhere (then job_thread_end() when
// it is PAPPL's job thread, else job_claim_wait() for the other's result),
// or printed elsewhere, with that result in *result.
enum job_claim_t { CLAIM_OWNER, CLAIM_PRINTING_ELSEWHERE, CLAIM_PRINTED_ELSEWHERE };
job_claim_t job_claim(pappl_job_t *job, bool *result);
bool job_claim_wait(pappl_job_t *job);
[[noreturn]] void job_thread_end();
void job_unclaim(pappl_job_t *job, bool result);
// A filter callback's start and end: true when this thread is to print the
// job (a second one for a job printing elsewhere ends, after deleting the
// options PAPPL made for it; one for a job printed elsewhere gets false and
// that job's result in *result); the result unclaimed and returned, unless
// the server's shutdown stopped the job (job_park_when_stopped).
bool job_filter_claim(pappl_job_t *job, pappl_pr_options_t *options, bool *result);
bool job_filter_done(pappl_job_t *job, bool result);
// The job's print_job while its raster callbacks run, else nullptr.
print_job *job_printing(pappl_job_t *job);
void job_set_printing(pappl_job_t *job, print_job *pj);

// server_shutdown.cpp: the jobs printing, whose converters a shutdown stops
// as a cancel does. True when the job's converter must stop: the job is
// cancelled or the server is stopping.
bool job_halted(print_job *pj);
void printing_add(print_job *pj);
void printing_remove(print_job *pj);
