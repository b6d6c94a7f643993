// A child is set up between fork and exec with raw system calls only: the
// starting process has threads, and glibc's set*id wrappers would try to
// change the credentials of threads the child does not have. What the child
// could not do travels back through a close-on-exec pipe as an errno value;
// an exec that succeeded closes the pipe empty.
#include "child_process.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

[[noreturn]] static void child_fail(int report, int error)
{
    while (write(report, &error, sizeof(error)) < 0 && errno == EINTR) {
    }
    _exit(127);
}

static bool move_descriptor(int fd, int target)
{
    return fd < 0 || fd == target || dup2(fd, target) == target;
}

// Groups first, while the rights to change them remain; then the check that
// the ids took everywhere and that root cannot be had again.
static int take_user(const child_user *user)
{
    if (syscall(SYS_setgroups, 0, nullptr) != 0 ||
        syscall(SYS_setresgid, user->gid, user->gid, user->gid) != 0 ||
        syscall(SYS_setresuid, user->uid, user->uid, user->uid) != 0)
        return errno;
    uid_t ruid = 0, euid = 0, suid = 0;
    gid_t rgid = 0, egid = 0, sgid = 0;
    if (syscall(SYS_getresuid, &ruid, &euid, &suid) != 0 ||
        syscall(SYS_getresgid, &rgid, &egid, &sgid) != 0)
        return errno;
    if (ruid != user->uid || euid != user->uid || suid != user->uid || rgid != user->gid ||
        egid != user->gid || sgid != user->gid || syscall(SYS_getgroups, 0, nullptr) != 0)
        return EPERM;
    if (user->uid != 0 && syscall(SYS_setresuid, 0, 0, 0) == 0)
        return EPERM;
    return 0;
}

[[noreturn]] static void child_run(char *const argv[], const child_setup *setup, pid_t parent,
                                   int report)
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (setpgid(0, 0) != 0)
        child_fail(report, errno);
    if (!move_descriptor(setup->stdin_fd, 0) || !move_descriptor(setup->stdout_fd, 1) ||
        !move_descriptor(setup->stderr_fd, 2))
        child_fail(report, errno);
    if (setup->run_as != nullptr) {
        int error = take_user(setup->run_as);
        if (error != 0)
            child_fail(report, error);
    }
    // After the user change, which clears it. A starter gone already has
    // handed the child to another parent: it must not run then either.
    if (setup->die_with_parent && (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent))
        child_fail(report, ECHILD);
    execve(argv[0], argv, environ);
    child_fail(report, errno);
}

int child_start(char *const argv[], const child_setup *setup, pid_t *pid)
{
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return errno;
    pid_t parent = getpid();
    pid_t child = fork();
    if (child < 0) {
        int error = errno;
        close(report[0]);
        close(report[1]);
        return error;
    }
    if (child == 0)
        child_run(argv, setup, parent, report[1]);
    close(report[1]);
    // The group exists before anyone may signal it, whichever runs first.
    setpgid(child, child);
    int error = 0;
    ssize_t n = 0;
    while ((n = read(report[0], &error, sizeof(error))) < 0 && errno == EINTR) {
    }
    close(report[0]);
    if (n > 0) {
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        return error != 0 ? error : EPERM;
    }
    *pid = child;
    return 0;
}
