#include "process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pwd.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

static std::vector<std::string> merged_environment(const std::vector<std::string> &extra)
{
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; e++) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto &x : extra)
            replaced = replaced || x.substr(0, x.find('=')) == name;
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

static std::vector<char *> pointers(std::vector<std::string> &strings)
{
    std::vector<char *> result;
    for (auto &s : strings)
        result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

bool under_memcheck()
{
    const char *memcheck = std::getenv("VELOKIT_MEMCHECK");
    return memcheck != nullptr && memcheck[0] != '\0';
}

static bool is_driver_program(const std::string &path)
{
    std::string name = path.substr(path.rfind('/') + 1);
    return name == "rastertovelokit" || name == "velokitlp";
}

// The path to execute and the argument list. With VELOKIT_MEMCHECK naming
// tools/memcheck, the driver's own programs run under valgrind; everything
// else (simulators, CUPS tools) runs as it is.
static std::vector<std::string> program_args(const process_spec &launch, std::string *path)
{
    std::vector<std::string> args = launch.argv;
    if (!launch.argv0.empty())
        args[0] = launch.argv0;
    *path = launch.argv[0];
    if (!under_memcheck() || !is_driver_program(launch.argv[0]))
        return args;
    *path = std::getenv("VELOKIT_MEMCHECK");
    args.insert(args.begin(), {*path, args[0]});
    args[2] = launch.argv[0];
    return args;
}

running_process process_start(const process_spec &launch)
{
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    std::string path;
    std::vector<std::string> args = program_args(launch, &path);
    std::vector<std::string> env = merged_environment(launch.env);
    std::vector<char *> argp = pointers(args), envp = pointers(env);

    pid_t pid = fork();
    if (pid == 0) {
        dup2(launch.stdin_fd >= 0 ? launch.stdin_fd : in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        signal(SIGPIPE, launch.sigpipe_ignored ? SIG_IGN : SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(path.c_str(), argp.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    running_process process;
    process.pid = pid;
    process.in = in[1];
    process.out = out[0];
    process.err = err[0];
    process.input = launch.input;
    process.timeout_ms = under_memcheck() ? launch.timeout_ms * 4 : launch.timeout_ms;
    if (launch.stdin_fd >= 0 || process.input.empty()) {
        close(process.in);
        process.in = -1;
    }
    return process;
}

process_result process_finish(running_process &p)
{
    signal(SIGPIPE, SIG_IGN);
    process_result result;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(p.timeout_ms);
    std::size_t fed = 0;
    char buffer[65536];
    while (p.out >= 0 || p.err >= 0) {
        pollfd fds[3];
        int n = 0;
        for (int fd : {p.out, p.err})
            if (fd >= 0)
                fds[n++] = {fd, POLLIN, 0};
        if (p.in >= 0)
            fds[n++] = {p.in, POLLOUT, 0};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            result.timed_out = true;
            kill(p.pid, SIGKILL);
            break;
        }
        if (poll(fds, n, static_cast<int>(left)) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < n; i++) {
            if (fds[i].revents == 0)
                continue;
            if (fds[i].fd == p.in) {
                ssize_t w = write(p.in, p.input.data() + fed, p.input.size() - fed);
                if (w > 0)
                    fed += static_cast<std::size_t>(w);
                if (w < 0 || fed == p.input.size()) {
                    close(p.in);
                    p.in = -1;
                }
                continue;
            }
            ssize_t r = read(fds[i].fd, buffer, sizeof(buffer));
            int &fd = fds[i].fd == p.out ? p.out : p.err;
            if (r <= 0) {
                close(fd);
                fd = -1;
            } else {
                (fds[i].fd == p.out ? result.out : result.err).append(buffer, r);
            }
        }
    }
    for (int *fd : {&p.in, &p.out, &p.err})
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    int status = 0;
    if (result.timed_out)
        kill(p.pid, SIGKILL);
    while (waitpid(p.pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    return result;
}

process_result process_run(const process_spec &launch)
{
    running_process p = process_start(launch);
    return process_finish(p);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &data, int mode)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
    chmod(path.c_str(), mode);
}

void give_to_lp(const std::string &path)
{
    const passwd *lp = getpwnam("lp");
    if (lp == nullptr || chown(path.c_str(), lp->pw_uid, lp->pw_gid) != 0)
        throw std::runtime_error("cannot give " + path + " to lp");
}

bool file_exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

bool inside_sandbox()
{
    return file_exists("/run/velokit-sandbox") && getpid() < 1000;
}

std::string make_test_dir(const std::string &name)
{
    // Never leave test files or a scheduler in the real /run.
    if (!inside_sandbox())
        throw std::runtime_error("this test must run inside tools/sandbox (as ctest runs it)");
    static int counter = 0;
    std::string dir = "/run/velokit-test-" + std::to_string(getpid()) + "-" + name + "-" +
                      std::to_string(counter++);
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot make " + dir);
    chmod(dir.c_str(), 0777);
    return dir;
}

bool wait_until(const std::function<bool()> &done, int timeout_ms)
{
    for (int waited = 0; waited < timeout_ms; waited += 5) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

bool wait_for_file(const std::string &path, int timeout_ms)
{
    return wait_until([&] { return file_exists(path); }, timeout_ms);
}

pid_t read_pid(const std::string &path)
{
    std::string text = read_file(path);
    return text.empty() ? -1 : static_cast<pid_t>(std::stol(text));
}

// The fields of /proc/PID/stat after the command name, which may hold blanks.
static std::vector<std::string> stat_fields(pid_t pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::vector<std::string> fields;
    std::size_t end = stat.rfind(')');
    if (end == std::string::npos)
        return fields;
    std::istringstream rest(stat.substr(end + 1));
    for (std::string field; rest >> field;)
        fields.push_back(field);
    return fields;
}

bool process_gone(pid_t pid)
{
    std::vector<std::string> fields = stat_fields(pid);
    return fields.empty() || fields[0] == "Z" || fields[0] == "X";
}

pid_t parent_pid(pid_t pid)
{
    std::vector<std::string> fields = stat_fields(pid);
    return fields.size() > 1 ? static_cast<pid_t>(std::stol(fields[1])) : -1;
}

bool process_in_syscall(pid_t pid, long nr, long arg0)
{
    std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/syscall"));
    long number = -1;
    std::string first;
    if (!(in >> number >> first) || number != nr)
        return false;
    return arg0 < 0 || std::stol(first, nullptr, 16) == arg0;
}
