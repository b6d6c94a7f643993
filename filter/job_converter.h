// The filter's one converter per job, on top of the shared converter code:
// the pid the cancel handler reads, the stream's fixed area, and failures
// reported and turned into the filter's exit statuses.
#pragma once

#include <csignal>
#include <cstdio>

#include "filter_settings.h"

// The converter's pid, which is also its process group; 0 while none runs.
// The cancel handler reads it, hence the signal-safe type.
extern volatile sig_atomic_t converter_pid;

// Starts the job's converter, its output this process's standard output.
// Exits with status 1 and a message when it cannot.
FILE *job_converter_start(const filter_settings *settings, unsigned width, unsigned height);

// Ends the converter's input, waits for it and returns the job's exit status:
// 0, 8 with the "fwrite" message when rows could not be delivered, 1 with a
// message when the converter was killed or exited with a status other than 0.
int job_converter_finish(FILE *stream);

// For a job that failed: delivers the rows still in the area and ends the
// converter's input, as the normal exit would, but where a converter that
// has gone away cannot end the filter by SIGPIPE. The converter is not
// waited for.
void job_converter_abandon(FILE *stream);
