// Simulator of the maker's side, for tests, the demo and the benchmark; never
// installed. Installed in a sandbox as /usr/lib/cups/filter/velokit-filter it
// plays the print converter: it records its command line and every byte of
// its standard input under $VELOKIT_SIM_DIR (default /run/velokit-sim).
//
// VELOKIT_SIM_MODE selects how it behaves:
//   record   read everything, record it, exit 0 (the default)
//   exit     record the command line, exit 0 without reading
//   stall    read $VELOKIT_SIM_STALL_BYTES bytes, then stop reading for ever
//   crash    read and record everything, then die of SIGSEGV; crash:N reads
//            N bytes first, so it dies in the middle of a larger job
//   status:N read and record everything, then exit with status N
//   sink     read everything in large blocks and discard it (benchmark)
//   wait     read nothing until a file "go" appears under $VELOKIT_SIM_DIR,
//            then go on as page: a printer that stops taking data, then
//            takes it again
//   page     turn the rows into pages on standard output, as a real
//            converter would turn them into printer data (see page_mode)
//   measure  like sink, and leave two figures for the benchmark under
//            $VELOKIT_SIM_DIR: "started", the monotonic clock in nanoseconds
//            when it began, and "parent-peak", the peak resident size in KiB
//            of the process that started it, taken when its input has ended
// A file "mode" under $VELOKIT_SIM_DIR holding a mode wins over the variable,
// so a test can change the converter of a running scheduler.
// With VELOKIT_SIM_SPAWN=1 it first starts a child that sleeps for ever.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/resource.h>
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
    std::ifstream file(sim_dir() + "/mode");
    std::string m;
    if (std::getline(file, m) && !m.empty())
        return m;
    const char *env = std::getenv("VELOKIT_SIM_MODE");
    return env != nullptr ? env : "record";
}

// A crash as the maker's converter might have one, without leaving a core.
[[noreturn]] static void crash()
{
    rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
    signal(SIGSEGV, SIG_DFL);
    raise(SIGSEGV);
    _exit(139);
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

// Whole files appear at once: a test that sees one never reads it half written.
static void write_file(const std::string &path, const std::string &text)
{
    std::string temporary = path + ".new";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0)
        return;
    write_all(fd, text.data(), text.size());
    close(fd);
    rename(temporary.c_str(), path.c_str());
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
    // Who the converter runs as: user, group and how many supplementary groups.
    write_file(dir + "/ids", std::to_string(getuid()) + " " + std::to_string(getgid()) + " " +
                                 std::to_string(getgroups(0, nullptr)) + "\n");
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

// The rows of one page as the filter sends them: 8-bit RGB for COLOR and
// 8-bit gray for MONO, each row padded to a multiple of 4 bytes.
struct page_format {
    long width = 0, height = 0;
    int channels = 3;
    std::string ink, media, quality, model;
    std::size_t stride() const
    {
        return (static_cast<std::size_t>(width) * channels + 3) / 4 * 4;
    }
};

// The command line is MODEL... WIDTH HEIGHT INK MEDIA QUALITY, the model
// being as many words as its name has.
static bool page_format_from(int argc, char *argv[], page_format *format)
{
    if (argc < 7)
        return false;
    format->width = std::atol(argv[argc - 5]);
    format->height = std::atol(argv[argc - 4]);
    format->ink = argv[argc - 3];
    format->media = argv[argc - 2];
    format->quality = argv[argc - 1];
    format->channels = format->ink == "MONO" ? 1 : 3;
    for (int i = 1; i < argc - 5; i++)
        format->model += std::string(i > 1 ? " " : "") + argv[i];
    return format->width > 0 && format->height >= 0;
}

// Reads exactly len bytes unless the input ends first; returns what it got.
static std::size_t read_full(char *data, std::size_t len)
{
    std::size_t got = 0;
    while (got < len) {
        ssize_t n = read(0, data + got, len - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

// One binary PNM image (P6 color, P5 gray) per page, its header naming the
// settings, so that the port file alone tells what was printed. A page cut
// short by the end of the input keeps the rows that arrived. Every byte
// written is also recorded in "output", and "pages" tells how many pages
// and rows arrived and how many bytes were left over.
static int page_mode(int argc, char *argv[])
{
    page_format format;
    if (!page_format_from(argc, argv, &format)) {
        std::fputs("velokit-sim: page mode needs MODEL WIDTH HEIGHT INK MEDIA QUALITY\n", stderr);
        return 2;
    }
    std::string dir = sim_dir();
    int record = open((dir + "/output").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    std::size_t stride = format.stride();
    std::size_t pixels = static_cast<std::size_t>(format.width) * format.channels;
    std::vector<char> row(stride);
    std::string image;
    long pages = 0, rows = 0;
    std::size_t left = 0;
    bool ended = false;
    while (!ended) {
        image.clear();
        long y = 0;
        for (; y < format.height; y++) {
            std::size_t got = read_full(row.data(), stride);
            if (got < stride) {
                left = got;
                ended = true;
                break;
            }
            image.append(row.data(), pixels);
        }
        if (y == 0 && (ended || format.height == 0))
            break;
        pages++;
        rows += y;
        char header[512];
        int len = std::snprintf(header, sizeof header,
                                "P%d\n# velokit page %ld: %s, ink %s, media %s, quality %s\n"
                                "%ld %ld\n255\n",
                                format.channels == 1 ? 5 : 6, pages, format.model.c_str(),
                                format.ink.c_str(), format.media.c_str(), format.quality.c_str(),
                                format.width, y);
        image.insert(0, header, static_cast<std::size_t>(len));
        write_all(1, image.data(), image.size());
        if (record >= 0)
            write_all(record, image.data(), image.size());
    }
    if (record >= 0)
        close(record);
    write_file(dir + "/pages", "pages " + std::to_string(pages) + "\nrows " + std::to_string(rows) +
                                   "\nleft " + std::to_string(left) + "\n");
    write_file(dir + "/done", "");
    return 0;
}

static long long monotonic_ns()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

// The parent has written all it will write once the input ends, so its peak
// is final by then.
static std::string parent_peak_kib()
{
    std::ifstream status("/proc/" + std::to_string(getppid()) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::to_string(std::atol(line.c_str() + 6)) + "\n";
    }
    return "";
}

int main(int argc, char *argv[])
{
    long long started = monotonic_ns();
    std::string m = mode();
    if (m == "measure") {
        write_file(sim_dir() + "/started", std::to_string(started) + "\n");
        read_input(-1, false);
        write_file(sim_dir() + "/parent-peak", parent_peak_kib());
        return 0;
    }
    if (m != "sink")
        record_start(argc, argv);
    const char *spawn = std::getenv("VELOKIT_SIM_SPAWN");
    if (spawn != nullptr && std::strcmp(spawn, "1") == 0)
        spawn_sleeper();

    if (m == "exit")
        return 0;
    if (m == "wait") {
        while (access((sim_dir() + "/go").c_str(), F_OK) != 0)
            usleep(20000);
        return page_mode(argc, argv);
    }
    if (m == "page")
        return page_mode(argc, argv);
    if (m == "stall") {
        const char *bytes = std::getenv("VELOKIT_SIM_STALL_BYTES");
        read_input(bytes != nullptr ? std::atol(bytes) : 0, true);
        for (;;)
            pause();
    }
    if (m.rfind("crash", 0) == 0) {
        read_input(m.size() > 6 ? std::atol(m.c_str() + 6) : -1, true);
        crash();
    }
    read_input(-1, m != "sink");
    if (m != "sink")
        write_file(sim_dir() + "/done", "");
    return m.rfind("status:", 0) == 0 ? std::atoi(m.c_str() + 7) : 0;
}
