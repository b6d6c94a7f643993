// The state of a job as the scheduler reports it, for the tests and the demo.
#pragma once

#include <string>

struct job_state {
    std::string state;   // "pending", "processing", "completed", "canceled", ...; "" if unknown
    std::string reasons; // job-state-reasons, comma-separated
    std::string message; // job-printer-state-message
};

// Asks the scheduler of CUPS_SERVER about job id.
job_state job_state_query(int id);

// True for the states a job never leaves: completed, canceled and aborted.
// A job whose filter failed stays processing-stopped when the queue's error
// policy does not abort it, so that state counts as an end too.
bool job_state_is_final(const job_state &job);

// Polls until the job reaches a final state or timeout_ms passes; returns the
// last state seen.
job_state job_state_wait(int id, int timeout_ms);
