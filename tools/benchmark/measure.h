// Running the measured programs: each run is timed from just before its first
// process starts until its last one has ended.
#pragma once

#include <string>
#include <vector>

// A program to run: argv[0] is its path; shown_as, when set, replaces what
// the program sees as its argv[0] (the scheduler passes a queue name or a
// device URI there). Its environment is the benchmark's own.
struct command {
    std::vector<std::string> argv;
    std::string shown_as;
};

// Runs cmd with the given descriptors as its standard input, output and
// error; returns its pid, or exits the benchmark when it cannot start.
int start(const command &cmd, int in, int out, int err);
// Waits for pid; exits the benchmark when it did not exit with status 0.
// Returns the processor seconds of the process and of the children it
// waited for.
double finish(int pid, const command &cmd);

struct run_time {
    double wall; // seconds from start to end
    double cpu;  // processor seconds, user and system, children included
};
// One run of cmd alone, its output discarded, and its error output too when
// discard_errors.
run_time time_alone(const command &cmd, bool discard_errors = false);
// Seconds of one run of producer | consumer, the consumer's output
// discarded. With error_output the producer's error output feeds the pipe
// instead, and its standard output is discarded.
double time_pipeline(const command &producer, const command &consumer, bool error_output = false);

double monotonic_seconds();
double median(std::vector<double> values);
