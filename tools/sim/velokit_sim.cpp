// Simulator of the maker's side, for tests, the demo and the benchmark; never
// installed. Installed in a sandbox as /usr/lib/cups/filter/velokit-filter it
// plays the print converter: it records its command line and every byte of
// its standard input under $VELOKIT_SIM_DIR (default /run/velokit-sim).
//
// VELOKIT_SIM_MODE selects how it behaves:
//   record   read everything, record it, exit 0 (the default)
//   exit     record the command line, exit 0 without reading
//   stall    read $VELOKIT_SIM_STALL_BYTES bytes, then stop reading for ever
//   sink     read everything in large blocks and discard it (benchmark)
// With VELOKIT_SIM_SPAWN=1 it first starts a child that sleeps for ever.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

static std::string sim_dir()
{
    const char *dir = std::getenv("VELOKIT_SIM_DIR");
    return dir != nullptr && dir[0] != '\0' ? dir : "/run/velokit-sim";
}

static std::string mode()
{
    const char *m = std::getenv("VELOKIT_SIM_MODE");
    return m != nullptr ? m : "record";
}

static void write_all(int fd, const char *data, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        len -= static_cast<size_t>(n);
    }
}

static void write_file(const std::string &path, const std::string &text)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0)
        return;
    write_all(fd, text.data(), text.size());
    close(fd);
}

static void record_start(int argc, char *argv[])
{
    std::string dir = sim_dir();
    mkdir(dir.c_str(), 0777);
    std::string args;
    for (int i = 0; i < argc; i++)
        args += std::string(argv[i]) + "\n";
    write_file(dir + "/argv", args);
    write_file(dir + "/pid", std::to_string(getpid()) + "\n");
}

static void spawn_sleeper()
{
    pid_t child = fork();
    if (child == 0) {
        for (;;)
            pause();
    }
    write_file(sim_dir() + "/child.pid", std::to_string(child) + "\n");
}

// Reads up to limit bytes of stdin (all when limit < 0), recording them
// unless record is false.
static void read_input(long limit, bool record)
{
    int out = -1;
    if (record)
        out = open((sim_dir() + "/stdin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    std::vector<char> buffer(1 << 20);
    long total = 0;
    while (limit < 0 || total < limit) {
        size_t want = buffer.size();
        if (limit >= 0 && static_cast<long>(want) > limit - total)
            want = static_cast<size_t>(limit - total);
        ssize_t n = read(0, buffer.data(), want);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        total += n;
        if (out >= 0)
            write_all(out, buffer.data(), static_cast<size_t>(n));
    }
    if (out >= 0)
        close(out);
}

int main(int argc, char *argv[])
{
    std::string m = mode();
    if (m != "sink")
        record_start(argc, argv);
    const char *spawn = std::getenv("VELOKIT_SIM_SPAWN");
    if (spawn != nullptr && std::strcmp(spawn, "1") == 0)
        spawn_sleeper();

    if (m == "exit")
        return 0;
    if (m == "stall") {
        const char *bytes = std::getenv("VELOKIT_SIM_STALL_BYTES");
        read_input(bytes != nullptr ? std::atol(bytes) : 0, true);
        for (;;)
            pause();
    }
    read_input(-1, m != "sink");
    if (m != "sink")
        write_file(sim_dir() + "/done", "");
    return 0;
}
