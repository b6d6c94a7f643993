// The answer to the scheduler's cancel (SIGTERM).
#pragma once

// The SIGTERM handler: stops this job's converter, tells the control daemon
// to cancel and ends the filter with status 0.
void cancel_job(int signal_number);

// Installs cancel_job for SIGTERM; it stays installed and SIGTERM is blocked
// while it runs, so it runs at most once.
void cancel_install();
