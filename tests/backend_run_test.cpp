// The real velokitlp in the sandbox: port device files under the private
// /run, the port's failures played by the fault shim.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "sandbox.h"

namespace
{

const char *const backend_binary = VELOKIT_BACKEND_BINARY;
const char *const fault_shim = VELOKIT_FAULT_SHIM;

// One run of the backend. In its texts PORT stands for the case's port
// device file and DIR for the case's directory.
struct backend_job {
    int argc = 7; // 1: discovery, 6: the data on standard input, 7: in a file
    std::string data;
    std::string copies = "1";
    std::string uri = "velokitlp:PORT";
    std::string file = "DIR/job";
    bool create_file = true;
    std::string target = "PORT"; // the file the backend should open
    bool target_exists = true;
    bool root_only = false;             // the target is root's, mode 0600; else lp's
    std::size_t port_length = 0;        // pads the port's path to this length
    std::string writes = "ok";          // the shim's write actions
    int busy = 0;                       // opens failing with EBUSY first; -1: all
    bool real_sleep = false;            // the busy wait really waits
    bool drop = true;                   // root's rights can be given up
    std::vector<std::size_t> pieces;    // fed in these pieces (cycled), with pauses
    bool fifo = false;                  // the file is a FIFO, fed like standard input
    bool terminate = false;             // SIGTERM once the backend wrote or went to sleep
    std::vector<int> ports, unwritable; // /var/run/velokitlpN present, read-only
};

struct backend_run {
    process_result result;
    std::string dir, port, target;
    std::string received;                   // what reached the target
    std::vector<std::size_t> writes;        // sizes the backend asked the device to take
    std::vector<std::string> opens, sleeps; // the shim's records of those calls
};

std::string expand(std::string text, const backend_run &run)
{
    for (const auto &[name, value] : {std::pair{"PORT", run.port}, {"DIR", run.dir}})
        for (std::size_t at; (at = text.find(name)) != std::string::npos;)
            text.replace(at, std::strlen(name), value);
    return text;
}

// Pseudo-random bytes, so a lost, doubled or reordered chunk shows.
std::string job_data(std::size_t size)
{
    std::string data(size, '\0');
    unsigned long state = size;
    for (auto &byte : data) {
        state = state * 6364136223846793005UL + 1442695040888963407UL;
        byte = static_cast<char>(state >> 56);
    }
    return data;
}

std::string checksum(const std::string &data)
{
    unsigned long long hash = 14695981039346656037ULL;
    for (unsigned char byte : data)
        hash = (hash ^ byte) * 1099511628211ULL;
    return std::to_string(data.size()) + " bytes, FNV " + std::to_string(hash);
}

std::string port_name(int n)
{
    return "/var/run/velokitlp" + std::to_string(n);
}

// Root ignores file modes: only a read-only mount makes a file unwritable.
void make_unwritable(const std::string &path)
{
    EXPECT_EQ(process_run({{"/bin/mount", "-n", "--bind", path, path}}).status, 0);
    EXPECT_EQ(process_run({{"/bin/mount", "-n", "-o", "remount,bind,ro", path}}).status, 0);
}

// DIR/port, or a path of exactly `length` characters in directories below DIR.
std::string port_path(const std::string &dir, std::size_t length)
{
    if (length == 0)
        return dir + "/port";
    std::string path = dir;
    while (length - path.size() > 201) {
        path.append("/").append(200, 'd');
        mkdir(path.c_str(), 0755);
    }
    return path + "/" + std::string(length - path.size() - 1, 'p');
}

bool wait_for_record(const std::string &log, pid_t backend, int timeout_ms)
{
    for (int waited = 0; waited < timeout_ms && kill(backend, 0) == 0; waited += 5) {
        std::string text = read_file(log);
        if (text.find("write ") != std::string::npos || text.find("sleep ") != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// Feeds the data in pieces, as a filter chain delivers it.
void feed(int fd, const backend_job &job, pid_t backend, const std::string &log)
{
    std::size_t at = 0;
    for (std::size_t i = 0; at < job.data.size(); i++) {
        std::size_t n = job.data.size() - at;
        if (!job.pieces.empty())
            n = std::min(n, job.pieces[i % job.pieces.size()]);
        for (std::size_t done = 0; done < n;) {
            ssize_t w = write(fd, job.data.data() + at + done, n - done);
            if (w <= 0)
                break;
            done += static_cast<std::size_t>(w);
        }
        at += n;
        if (i == 0 && job.terminate) {
            EXPECT_TRUE(wait_for_record(log, backend, 10000))
                << "the backend never wrote nor slept";
            kill(backend, SIGTERM);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    close(fd);
}

// The shim's records; an open's descriptor number is of no interest.
void parse_log(const std::string &log, backend_run &run)
{
    std::istringstream in(read_file(log));
    for (std::string event, a, b; in >> event;) {
        if (event == "write" && in >> a >> b)
            run.writes.push_back(std::stoul(a));
        if (event == "open" && in >> a >> b)
            run.opens.push_back(a + (std::stoi(b) >= 0 ? " ok" : " " + b));
        if (event == "sleep" && in >> a)
            run.sleeps.push_back(a);
    }
}

backend_run run_backend(const backend_job &job)
{
    signal(SIGPIPE, SIG_IGN);
    backend_run run;
    run.dir = make_test_dir("backend");
    run.port = port_path(run.dir, job.port_length);
    // Files other than the maker's ports are written as lp.
    write_file(run.port, "");
    if (file_exists(run.port)) // not when its path is too long for any open
        give_to_lp(run.port);
    run.target = expand(job.target, run);
    if (job.target_exists && !file_exists(run.target)) {
        write_file(run.target, "", job.root_only ? 0600 : 0644);
        if (!job.root_only && file_exists(run.target))
            give_to_lp(run.target);
    }
    std::string log = run.dir + "/log";
    for (int n : job.ports)
        write_file(port_name(n), "");
    for (int n : job.unwritable)
        make_unwritable(port_name(n));

    process_spec launch{{backend_binary},
                        expand(job.uri, run),
                        {"LD_PRELOAD=" + std::string(fault_shim), "FAULT_PORT=" + run.target,
                         "FAULT_LOG=" + log, "FAULT_WRITES=" + job.writes,
                         "FAULT_BUSY=" + std::to_string(job.busy),
                         std::string("FAULT_SLEEP=") + (job.real_sleep ? "real" : ""),
                         std::string("FAULT_SETUID=") + (job.drop ? "" : "eperm")}};
    launch.timeout_ms = 15000;
    const std::string args[] = {"42", "user", "title", job.copies, "", expand(job.file, run), "x"};
    launch.argv.insert(launch.argv.end(), args, args + std::min(job.argc - 1, 7));

    bool fed = !job.pieces.empty() || job.terminate;
    int feed_fd = -1;
    if (job.argc == 6 && fed) {
        int fds[2];
        EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
        launch.stdin_fd = fds[0];
        feed_fd = fds[1];
    } else if (job.argc == 6) {
        launch.input = job.data;
    } else if (job.fifo) {
        EXPECT_EQ(mkfifo(expand(job.file, run).c_str(), 0644), 0);
        // Read-write: never blocks, whenever the backend opens its end.
        feed_fd = open(expand(job.file, run).c_str(), O_RDWR | O_CLOEXEC);
    } else if (job.argc == 7 && job.create_file) {
        write_file(expand(job.file, run), job.data);
    }

    // Still readable once a case has unlinked it.
    int held = open(run.target.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    running_process process = process_start(launch);
    if (launch.stdin_fd >= 0)
        close(launch.stdin_fd);
    std::thread feeder;
    if (feed_fd >= 0)
        feeder = std::thread(feed, feed_fd, std::cref(job), process.pid, log);
    run.result = process_finish(process);
    if (feeder.joinable())
        feeder.join();

    run.received = read_file(
        file_exists(run.target) || held < 0 ? run.target : "/proc/self/fd/" + std::to_string(held));
    if (held >= 0)
        close(held);
    if (job.root_only)
        unlink(run.target.c_str());
    for (int n : job.unwritable)
        EXPECT_EQ(process_run({{"/bin/umount", "-n", port_name(n)}}).status, 0);
    for (int n : job.ports)
        unlink(port_name(n).c_str());
    parse_log(log, run);
    return run;
}

const std::string page = "PAGE: 1 1\n\n";
const std::string send_error = "**** ERROR **** : Unable to send print file to printer.\n";
const std::string busy = "**** INFO **** : VELO port busy; will retry in 30 seconds...\n\n";
const std::string removed = "**** ERROR **** : VELO port device file \"PORT\" was removed while "
                            "printing.\n";
std::string sent(std::size_t bytes)
{
    return "**** INFO **** : INFO: Sending print file, " + std::to_string(bytes) + " bytes...\n\n";
}
// A job on a file only root may write, named by the device URI.
backend_job on_root_file(const std::string &path, backend_job job = {})
{
    job.uri = "velokitlp:" + path;
    job.target = path;
    job.root_only = true;
    return job;
}
std::string denied(const std::string &path)
{
    return "**** ERROR **** : Unable to open VELO port device file \"" + path +
           "\": Permission denied\n\n";
}
const std::string exclusive_write = [] {
    char flags[16];
    snprintf(flags, sizeof(flags), "0x%x", O_WRONLY | O_EXCL | O_CLOEXEC);
    return std::string(flags);
}();

class BackendRun : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        require_sandbox();
    }
};

TEST_F(BackendRun, DiscoveryListsWritablePortsUpToTheFirstGap)
{
    struct discovery_case {
        const char *name;
        std::vector<int> ports, unwritable;
        std::vector<int> listed;
    };
    const discovery_case cases[] = {
        {"no port", {}, {}, {}},
        {"0 and 2, 1 missing", {0, 2}, {}, {0}},
        {"0 to 2", {0, 1, 2}, {}, {0, 1, 2}},
        {"1 unwritable", {0, 1, 2}, {1}, {0}},
        {"0 unwritable", {0, 1}, {0}, {}},
        {"no port 0", {1, 2}, {}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        backend_run run = run_backend({.argc = 1, .ports = c.ports, .unwritable = c.unwritable});
        std::string lines;
        for (int n : c.listed)
            lines += "file velokitlp:" + port_name(n) + " \"Velokit\" \"ORVEX Inkjet Printer #" +
                     std::to_string(n + 1) + "\"\n";
        EXPECT_EQ(run.result.out, lines);
        EXPECT_EQ(run.result.err, "");
        EXPECT_EQ(run.result.status, 0);
    }
}

TEST_F(BackendRun, RefusalsReportExactlyAndExitWith1)
{
    struct refusal_case {
        const char *name;
        backend_job job;
        std::string err;
        bool opened; // the device open was tried
    };
    const std::string usage = "usage: velokitlp job-id user title copies options [file]\n";
    const std::string long_name = "DIR/" + std::string(5000, 'n');
    const refusal_case cases[] = {
        {"2 arguments", {.argc = 2}, usage, false},
        {"5 arguments", {.argc = 5, .uri = "velokitlp:/not/used/for/usage"}, usage, false},
        {"8 arguments", {.argc = 8}, usage, false},
        {"input file missing, name printed literally",
         {.file = "DIR/no%s%n%d", .create_file = false},
         "**** ERROR **** : DIR/no%s%n%d : No such file or directory\n",
         false},
        {"input file name longer than a message area",
         {.file = long_name, .create_file = false},
         "**** ERROR **** : " + long_name + " : File name too long\n",
         false},
        {"port missing, never created",
         {.uri = "velokitlp:DIR/missing", .target = "DIR/missing", .target_exists = false},
         "**** ERROR **** : Unable to open VELO port device file \"DIR/missing\": No such file or "
         "directory\n\n",
         true},
        {"port is a directory",
         {.uri = "velokitlp:DIR", .target = "DIR"},
         "**** ERROR **** : Unable to open VELO port device file \"DIR\": Is a directory\n\n",
         true},
        {"port read-only",
         {.uri = "velokitlp:/var/run/velokitlp1",
          .target = "/var/run/velokitlp1",
          .ports = {1},
          .unwritable = {1}},
         "**** ERROR **** : Unable to open VELO port device file \"/var/run/velokitlp1\": "
         "Read-only file system\n\n",
         true},
        {"open error ends a busy wait",
         {.uri = "velokitlp:DIR/missing",
          .target = "DIR/missing",
          .target_exists = false,
          .busy = 1},
         busy + "**** ERROR **** : Unable to open VELO port device file \"DIR/missing\": No such "
                "file or directory\n\n",
         true},
        {"root's file named directly", on_root_file("DIR/secret"), denied("DIR/secret"), true},
        {"root's file through ..", on_root_file("/var/run/..DIR/secret"),
         denied("/var/run/..DIR/secret"), true},
        {"root's file named almost like a port", on_root_file("/var/run/velokitlp0x"),
         denied("/var/run/velokitlp0x"), true},
        {"root's rights cannot be given up", on_root_file("DIR/secret", {.drop = false}),
         "**** ERROR **** : Unable to give up root's rights to open VELO port device file "
         "\"DIR/secret\": Operation not permitted\n",
         false},
        // The first 1023 characters name a port too: it must not be written.
        {"path over 1023 characters",
         {.data = "x", .uri = "velokitlp:PORTq", .port_length = 1023},
         "**** ERROR **** : VELO port device file name is too long (1024 characters, at most "
         "1023).\n",
         false},
        {"path of 4096 characters",
         {.data = "x", .uri = "velokitlp:PORT", .port_length = 4096},
         "**** ERROR **** : VELO port device file name is too long (4096 characters, at most "
         "1023).\n",
         false},
        // The splitter gives the root for a URI without a path.
        {"no path",
         {.uri = "velokitlp:", .target = "/"},
         "**** ERROR **** : Unable to open VELO port device file \"/\": Is a directory\n\n",
         true},
        {"URI that cannot be split",
         {.uri = "velokitlp:/a port"},
         "**** ERROR **** : Bad device URI \"velokitlp:/a port\": Bad resource in URI\n",
         false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        backend_run run = run_backend(c.job);
        EXPECT_EQ(run.result.err, expand(c.err, run));
        EXPECT_EQ(run.result.status, 1);
        EXPECT_EQ(run.result.out, "");
        EXPECT_EQ(run.opens.empty(), !c.opened);
        EXPECT_EQ(run.received, "");
        EXPECT_EQ(read_file(run.port), "");
        EXPECT_TRUE(c.job.target_exists || !file_exists(run.target)) << "port created";
    }
}

TEST_F(BackendRun, CopiesTheDataToThePortOncePerCopy)
{
    struct copy_case {
        const char *name;
        backend_job job;
        int passes;
        std::vector<std::size_t> pass_writes; // the device writes of one pass
        std::string err;
    };
    const std::string small = job_data(100), chunks = job_data(20480);
    const std::string big = job_data(3 * 1024 * 1024 + 5);
    const std::string small_pass = page + sent(100);
    const std::string chunks_pass = page + sent(8192) + sent(16384) + sent(20480);
    std::vector<std::size_t> big_writes(big.size() / 8192, 8192);
    big_writes.push_back(5);
    const copy_case cases[] = {
        {"copies 3",
         {.data = small, .copies = "3"},
         3,
         {100},
         small_pass + small_pass + small_pass},
        {"copies with blanks and a sign",
         {.data = small, .copies = " +2"},
         2,
         {100},
         small_pass + small_pass},
        {"copies with text after the digits",
         {.data = small, .copies = "2x"},
         2,
         {100},
         small_pass + small_pass},
        {"copies 0", {.data = small, .copies = "0"}, 0, {}, ""},
        {"copies without digits", {.data = small, .copies = "abc"}, 0, {}, ""},
        {"copies negative", {.data = small, .copies = "-1"}, 0, {}, ""},
        {"standard input ignores copies", {.argc = 6, .data = small, .copies = "5"}, 1, {100}, ""},
        {"empty file", {.data = "", .copies = "2"}, 2, {}, page + page},
        {"empty standard input", {.argc = 6, .data = ""}, 1, {}, ""},
        {"two and a half chunks", {.data = chunks}, 1, {8192, 8192, 4096}, chunks_pass},
        {"count restarts for each copy",
         {.data = chunks, .copies = "2"},
         2,
         {8192, 8192, 4096},
         chunks_pass + chunks_pass},
        {"whole chunks only", {.argc = 6, .data = job_data(16384)}, 1, {8192, 8192}, ""},
        {"several MB on standard input", {.argc = 6, .data = big}, 1, big_writes, ""},
        {"query cut off",
         {.data = small, .uri = "velokitlp:PORT?serial=7&x=y"},
         1,
         {100},
         small_pass},
        {"user, host and port ignored",
         {.data = small, .uri = "velokitlp://lp@printer:9PORT"},
         1,
         {100},
         small_pass},
        {"root's port file",
         on_root_file("/var/run/velokitlp3", {.data = small}),
         1,
         {100},
         small_pass},
        {"root's port file under /run",
         on_root_file("/run/velokitlp12", {.data = small}),
         1,
         {100},
         small_pass},
        {"another file, lp's",
         {.data = small, .uri = "velokitlp:DIR/other", .target = "DIR/other"},
         1,
         {100},
         small_pass},
        {"percent escapes decoded",
         {.data = small, .uri = "velokitlp:DIR/a%20b%25c", .target = "DIR/a b%c"},
         1,
         {100},
         small_pass},
        {"path of 1023 characters with a long query",
         {.data = small, .uri = "velokitlp:PORT?" + std::string(2000, 'q'), .port_length = 1023},
         1,
         {100},
         small_pass},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        backend_run run = run_backend(c.job);
        std::string expected;
        std::vector<std::size_t> writes;
        for (int i = 0; i < c.passes; i++) {
            expected += c.job.data;
            writes.insert(writes.end(), c.pass_writes.begin(), c.pass_writes.end());
        }
        EXPECT_EQ(checksum(run.received), checksum(expected));
        EXPECT_EQ(run.writes, writes);
        EXPECT_EQ(run.result.err, c.err);
        EXPECT_EQ(run.result.out, "");
        EXPECT_EQ(run.result.status, 0);
        // Opened once, write-only and exclusive, never created.
        EXPECT_EQ(run.opens, std::vector<std::string>{exclusive_write + " ok"});
    }
}

TEST_F(BackendRun, BusyPortIsRetriedEvery30Seconds)
{
    struct busy_case {
        const char *name;
        backend_job job;
        std::string err_before; // the messages before the data
    };
    const std::string data = job_data(300);
    const busy_case cases[] = {
        {"not busy", {.data = data}, ""},
        {"busy once", {.data = data, .busy = 1}, busy},
        {"busy 3 times", {.data = data, .busy = 3}, busy + busy + busy},
        {"busy 3 times, standard input", {.argc = 6, .data = data, .busy = 3}, busy + busy + busy},
        {"copies 0 still waits", {.data = data, .copies = "0", .busy = 2}, busy + busy},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        backend_run run = run_backend(c.job);
        bool copy = c.job.copies != "0";
        bool file = c.job.argc == 7;
        EXPECT_EQ(run.result.err, c.err_before + (copy && file ? page + sent(300) : ""));
        EXPECT_EQ(run.received, copy ? data : "");
        EXPECT_EQ(run.result.status, 0);
        EXPECT_EQ(run.sleeps, std::vector<std::string>(c.job.busy, "30"));
        std::vector<std::string> opens(c.job.busy, exclusive_write + " -" + std::to_string(EBUSY));
        opens.push_back(exclusive_write + " ok");
        EXPECT_EQ(run.opens, opens);
    }
}

TEST_F(BackendRun, WriteFailuresDropTheRestOfTheChunkAndFailTheJob)
{
    struct fault_case {
        const char *name;
        std::string writes;            // the shim's actions
        std::vector<int> failed;       // chunks reported as not sent
        std::size_t kept;              // bytes of a failed chunk that still arrived
        std::vector<std::size_t> seen; // sizes of the device writes; empty: not checked
        bool removed = false;          // the port file is unlinked during the pass
    };
    const fault_case cases[] = {
        {"ENOTTY once is retried", "enotty,ok", {}, 0, {8192, 8192, 8192, 4096}},
        {"ENOTTY twice fails", "enotty,enotty,ok", {0}, 0, {8192, 8192, 8192, 4096}},
        {"ENOTTY retried once per failed write",
         "ok,enotty,half,enotty,ok",
         {},
         0,
         {8192, 8192, 8192, 4096, 4096, 4096}},
        {"ENOTTY then EIO", "enotty,eio,ok", {0}, 0, {8192, 8192, 8192, 4096}},
        {"EIO", "eio,ok", {0}, 0, {8192, 8192, 4096}},
        {"EIO in the last chunk", "ok,ok,eio,ok", {2}, 0, {8192, 8192, 4096}},
        {"EIO after a partial write", "half,eio,ok", {0}, 4096, {8192, 4096, 8192, 4096}},
        {"interrupted write", "eintr,ok", {0}, 0, {8192, 8192, 4096}},
        {"write taking 0 bytes", "zero,ok", {0}, 0, {8192, 8192, 4096}},
        {"every write fails", "eio", {0, 1, 2}, 0, {8192, 8192, 4096}},
        {"partial writes of random sizes", "rand", {}, 0, {}},
        {"port removed during the pass", "ok,gone,ok", {}, 0, {8192, 8192, 4096}, true},
    };
    const std::string data = job_data(20480);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // A removed port ends the run after the pass: a second copy never starts.
        backend_run run =
            run_backend({.data = data, .copies = c.removed ? "2" : "1", .writes = c.writes});
        std::string expected, err = page;
        for (std::size_t at = 0; at < data.size(); at += 8192) {
            int chunk = static_cast<int>(at / 8192);
            bool failed = std::count(c.failed.begin(), c.failed.end(), chunk) != 0;
            std::size_t size = std::min<std::size_t>(8192, data.size() - at);
            expected += data.substr(at, failed ? c.kept : size);
            err += (failed ? send_error : "") + sent(at + size);
        }
        EXPECT_EQ(checksum(run.received), checksum(expected));
        EXPECT_EQ(run.result.err, err + (c.removed ? expand(removed, run) : ""));
        EXPECT_EQ(run.result.status, c.failed.empty() && !c.removed ? 0 : 1);
        if (!c.seen.empty()) {
            EXPECT_EQ(run.writes, c.seen);
        }
    }
}

TEST_F(BackendRun, DeviceWritesAreWholeChunksWhateverThePipeDelivers)
{
    struct pipe_case {
        const char *name;
        std::size_t size;
        std::vector<std::size_t> pieces;
        bool removed = false; // the port file is unlinked at the first write
    };
    const pipe_case cases[] = {
        {"odd small pieces", 5 * 8192 + 321, {3, 4093, 7, 1, 2500, 999}},
        {"pieces larger than a chunk", 4 * 8192 + 1, {12289, 5, 20001}},
        {"pieces just under a chunk, whole chunks in all", 6 * 8192, {8191, 8193, 1}},
        // Noticed within a few megabytes, long before the end of the job.
        {"port removed in a long pass", 3 << 22, {65536}, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string data = job_data(c.size);
        backend_run run = run_backend(
            {.argc = 6, .data = data, .writes = c.removed ? "gone,ok" : "ok", .pieces = c.pieces});
        std::size_t sent = c.removed ? std::min(run.received.size(), std::size_t{5} << 20) : c.size;
        std::vector<std::size_t> writes(sent / 8192, 8192);
        if (sent % 8192 != 0)
            writes.push_back(sent % 8192);
        EXPECT_EQ(run.writes, writes);
        EXPECT_EQ(checksum(run.received), checksum(data.substr(0, sent)));
        EXPECT_EQ(run.result.err, c.removed ? expand(removed, run) : "");
        EXPECT_EQ(run.result.status, c.removed ? 1 : 0);
    }
}

TEST_F(BackendRun, TerminationIsIgnoredOnlyWhileCopyingStandardInput)
{
    struct signal_case {
        const char *name;
        backend_job job;
        bool survives;
    };
    const std::string data = job_data(5 * 8192 + 77);
    const std::vector<std::size_t> first_chunk = {8192, 1000, 3000};
    const signal_case cases[] = {
        {"standard input, copying",
         {.argc = 6, .data = data, .pieces = first_chunk, .terminate = true},
         true},
        {"file, copying",
         {.data = data, .pieces = first_chunk, .fifo = true, .terminate = true},
         false},
        {"standard input, waiting for a busy port",
         {.argc = 6, .data = data, .busy = -1, .real_sleep = true, .terminate = true},
         false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        backend_run run = run_backend(c.job);
        EXPECT_FALSE(run.result.timed_out);
        if (c.survives) {
            EXPECT_EQ(run.result.status, 0);
            EXPECT_EQ(checksum(run.received), checksum(data));
        } else {
            EXPECT_EQ(run.result.signal, SIGTERM);
            EXPECT_LT(run.received.size(), data.size());
        }
    }
}

} // namespace
