// How the programs that drive the converter start their children: without a
// shell, in a process group of their own, with no signal blocked, and, where
// the caller asks, as another user and tied to the caller's life. Shared by
// the filter and the printer application (velokit_converter): nothing here
// ends the process or writes a message; failures are handed back.
#pragma once

#include <sys/types.h>

// The user a child runs as: its user and group ids, no supplementary groups,
// and no way back to the starting process's rights.
struct child_user {
    uid_t uid = 0;
    gid_t gid = 0;
};

struct child_setup {
    // Become the child's standard input, output and error; -1 leaves the
    // starting process's own. Give descriptors with FD_CLOEXEC set.
    int stdin_fd = -1, stdout_fd = -1, stderr_fd = -1;
    // nullptr: the starting process's own rights.
    const child_user *run_as = nullptr;
    // The child is killed when the thread that started it ends, the process
    // with it, even by SIGKILL: nothing it runs outlives its starter.
    bool die_with_parent = false;
};

// Starts argv[0] (an absolute path) with argv and this process's environment.
// The child's set-up is complete and checked before the program runs: a
// child that could not take the user asked for, or could take root back,
// never runs it. Returns 0 with *pid the child's pid, which is also its
// process group; else the errno value of the step that failed (EPERM for a
// user that did not take), and nothing is left running.
int child_start(char *const argv[], const child_setup *setup, pid_t *pid);
