// Running the real programs as child processes, with their output captured
// and every run bounded in time.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

struct process_spec {
    std::vector<std::string> argv; // argv[0] is the program's path
    std::string argv0;             // what the program sees as argv[0], if not its path
    std::vector<std::string> env;  // NAME=VALUE, added to or replacing this environment
    std::string input;             // fed on standard input, which then ends
    int stdin_fd = -1;             // or this descriptor as standard input instead
    int timeout_ms = 20000;
    bool sigpipe_ignored = false; // started with SIGPIPE ignored, as some parents hand it down
};

struct process_result {
    int status = -1; // exit status, or -1 when a signal ended it
    int signal = 0;  // the signal that ended it
    bool timed_out = false;
    std::string out;
    std::string err;
};

struct running_process {
    pid_t pid = -1;
    int in = -1, out = -1, err = -1;
    std::string input;
    int timeout_ms = 0;
};

// True when the driver's programs run under valgrind (tools/check memcheck):
// they are many times slower there, so runs get more time.
bool under_memcheck();

running_process process_start(const process_spec &launch);
// Feeds the input, collects the output and waits; kills the process when the
// time runs out.
process_result process_finish(running_process &process);
process_result process_run(const process_spec &launch);

// Files and directories of a test.
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data, int mode = 0644);
bool file_exists(const std::string &path);
// Makes a file user lp's, as a file a backend may write for any queue must be.
void give_to_lp(const std::string &path);
// True inside tools/sandbox, whose /run is private.
bool inside_sandbox();
// A fresh directory under /run (private in the sandbox, reachable by lp).
std::string make_test_dir(const std::string &name);
// Waits up to timeout_ms for a file to appear.
bool wait_for_file(const std::string &path, int timeout_ms);
// Waits up to timeout_ms until done() holds; returns whether it did.
bool wait_until(const std::function<bool()> &done, int timeout_ms);

// Processes seen through /proc, whoever started them.
// The pid a file records in decimal, or -1.
pid_t read_pid(const std::string &path);
// True once the process has ended (a zombie counts as ended).
bool process_gone(pid_t pid);
// True while the process is blocked in system call nr (a SYS_ number) with
// first argument arg0; arg0 < 0 accepts any.
bool process_in_syscall(pid_t pid, long nr, long arg0 = -1);
pid_t parent_pid(pid_t pid);
