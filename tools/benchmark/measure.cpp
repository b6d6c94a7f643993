#include "measure.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

[[noreturn]] static void give_up(const std::string &what, const command &cmd)
{
    std::fprintf(stderr, "bench: %s: %s\n", cmd.argv[0].c_str(), what.c_str());
    std::exit(1);
}

static int null_fd()
{
    static int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    return fd;
}

int start(const command &cmd, int in, int out, int err)
{
    std::vector<std::string> args = cmd.argv;
    if (!cmd.shown_as.empty())
        args[0] = cmd.shown_as;
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in >= 0 ? in : null_fd(), 0);
    posix_spawn_file_actions_adddup2(&actions, out >= 0 ? out : null_fd(), 1);
    posix_spawn_file_actions_adddup2(&actions, err >= 0 ? err : 2, 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = 0;
    int error = posix_spawn(&pid, cmd.argv[0].c_str(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (error != 0)
        give_up(std::string("cannot start: ") + std::strerror(error), cmd);
    return pid;
}

static double seconds(const timeval &t)
{
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
}

double finish(int pid, const command &cmd)
{
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR)
            give_up("lost", cmd);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        give_up("failed with status " + std::to_string(status), cmd);
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double monotonic_seconds()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

run_time time_alone(const command &cmd, bool discard_errors)
{
    double t0 = monotonic_seconds();
    double cpu = finish(start(cmd, -1, -1, discard_errors ? null_fd() : -1), cmd);
    return {monotonic_seconds() - t0, cpu};
}

double time_pipeline(const command &producer, const command &consumer, bool error_output)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        give_up("no pipe", producer);
    double t0 = monotonic_seconds();
    int reader = start(consumer, fds[0], -1, -1);
    int writer = error_output ? start(producer, -1, -1, fds[1]) : start(producer, -1, fds[1], -1);
    close(fds[0]);
    close(fds[1]);
    finish(writer, producer);
    finish(reader, consumer);
    return monotonic_seconds() - t0;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}
