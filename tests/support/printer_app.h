// The printer application's server and clients, run inside the sandbox.
#pragma once

#include <string>
#include <vector>

#include "process.h"

extern const char *const printer_app_binary;

// The environment the application's programs run with under the test: env,
// and under the sanitizers the full stacks that PAPPL's suppressed leaks need.
std::vector<std::string> app_env(std::vector<std::string> env);

struct app_server {
    running_process process;
    int port = 0;
    std::string log;
};

// Starts "velokit-printer-app server" on a loopback port with its default
// state and spool, the extra environment given to it and the converters it
// starts, under a wrapper command when one is given (tools/confine UNIT);
// waits until it answers.
app_server app_start(int port, const std::string &log, const std::vector<std::string> &env,
                     const std::vector<std::string> &wrapper = {});
// Stops it (SIGTERM) and waits for it to end; false if it had to be killed.
bool app_stop(app_server &server);

// One client sub-command: velokit-printer-app ARGS...
process_result app_run(const std::vector<std::string> &args);
// submit: the job id, or -1.
int app_submit(const std::string &printer, const std::string &file,
               const std::vector<std::string> &options);
// The job's state as the jobs sub-command shows it ("completed", ...).
std::string app_job_state(const std::string &printer, int job);
// Waits until the job is completed, aborted or canceled; returns its state.
std::string app_wait_job(const std::string &printer, int job, int timeout_ms);
