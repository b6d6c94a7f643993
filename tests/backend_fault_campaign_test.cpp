// 1 GiB through the real velokitlp from standard input, with the port's
// writes failing at random (partial writes, ENOTTY, EINTR, EIO, nothing
// taken) through the fault shim, and SIGTERMs arriving all the while. What
// reaches the port must be exactly the input less the rest of every chunk
// whose failure was reported, and any such failure must fail the job.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "sandbox.h"

namespace
{

const char *const backend_binary = VELOKIT_BACKEND_BINARY;
const char *const fault_shim = VELOKIT_FAULT_SHIM;
constexpr std::uint64_t job_size = std::uint64_t{1} << 30;
constexpr std::uint64_t chunk_size = 8192;

// The job's byte at any offset, so neither side has to hold the job.
std::uint64_t job_word(std::uint64_t index)
{
    std::uint64_t z = index * 0x9e3779b97f4a7c15ULL + 0x632be59bd9b4e5ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

void job_bytes(std::uint64_t offset, char *out, std::size_t size)
{
    std::uint64_t word = job_word(offset / 8);
    for (std::size_t i = 0; i < size; i++) {
        std::uint64_t at = offset + i;
        if (at % 8 == 0)
            word = job_word(at / 8);
        out[i] = static_cast<char>(word >> (at % 8 * 8));
    }
}

void feed_job(int fd)
{
    std::vector<char> buffer(1 << 20);
    for (std::uint64_t at = 0; at < job_size; at += buffer.size()) {
        job_bytes(at, buffer.data(), buffer.size());
        for (std::size_t done = 0; done < buffer.size();) {
            ssize_t n = write(fd, buffer.data() + done, buffer.size() - done);
            if (n <= 0) {
                close(fd);
                return;
            }
            done += static_cast<std::size_t>(n);
        }
    }
    close(fd);
}

// The part of the job that must reach the port, from the shim's record of
// every device write ("write REQUESTED RESULT", a failure as minus errno):
// each chunk goes on from where a write stopped; a failed write is dropped
// with the rest of its chunk, except that one ENOTTY is tried again.
struct expected_port {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges; // (offset, size)
    int dropped = 0;
    std::uint64_t consumed = 0; // job bytes written or dropped
    bool consistent = true;
};

expected_port replay_writes(const std::string &log)
{
    expected_port port;
    std::istringstream in(log);
    std::uint64_t left = 0;
    bool retry = false;
    for (std::string event; in >> event;) {
        long long requested = 0, result = 0;
        if (event != "write" || !(in >> requested >> result))
            continue;
        if (left == 0) {
            left = std::min(chunk_size, job_size - port.consumed);
            retry = false;
        }
        port.consistent = port.consistent && static_cast<std::uint64_t>(requested) == left;
        if (result > 0) {
            port.ranges.emplace_back(port.consumed, result);
            port.consumed += result;
            left -= result;
            retry = false;
        } else if (result == -ENOTTY && !retry) {
            retry = true;
        } else {
            port.dropped++;
            port.consumed += left;
            left = 0;
        }
    }
    port.consistent = port.consistent && left == 0;
    return port;
}

// Compares the port's bytes with the ranges of the job they must hold.
bool port_holds(const std::string &path, const expected_port &port, std::string *why)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<char> got(chunk_size), want(chunk_size);
    std::uint64_t at_port = 0;
    for (auto [offset, size] : port.ranges) {
        in.read(got.data(), static_cast<std::streamsize>(size));
        job_bytes(offset, want.data(), size);
        if (static_cast<std::uint64_t>(in.gcount()) != size ||
            !std::equal(got.begin(), got.begin() + size, want.begin())) {
            *why = "port differs at byte " + std::to_string(at_port) + " (job offset " +
                   std::to_string(offset) + ")";
            return false;
        }
        at_port += size;
    }
    if (in.peek() != std::char_traits<char>::eof()) {
        *why = "port holds more than " + std::to_string(at_port) + " bytes";
        return false;
    }
    return true;
}

std::size_t count_of(const std::string &text, const std::string &line)
{
    std::size_t n = 0;
    for (std::size_t at = 0; (at = text.find(line, at)) != std::string::npos; at += line.size())
        n++;
    return n;
}

TEST(BackendFaultCampaign, GibibyteThroughAFaultyPortLosesOnlyWhatItReports)
{
    require_sandbox();
    signal(SIGPIPE, SIG_IGN);
    std::string dir = make_test_dir("campaign");
    std::string port = dir + "/port", log = dir + "/log";
    // Not one of the maker's ports: the backend writes it as lp.
    write_file(port, "");
    give_to_lp(port);

    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    process_spec launch{{backend_binary, "42", "user", "title", "1", ""},
                        "velokitlp:" + port,
                        {"LD_PRELOAD=" + std::string(fault_shim), "FAULT_PORT=" + port,
                         "FAULT_LOG=" + log, "FAULT_WRITES=mix", "FAULT_SEED=20240229"}};
    launch.stdin_fd = fds[0];
    launch.timeout_ms = 240000;
    running_process backend = process_start(launch);
    close(fds[0]);
    std::thread feeder(feed_job, fds[1]);

    // Cancels while the copy runs: the backend ignores them once its port is
    // open, so every one of them must leave the job as it was.
    std::atomic<bool> done{false};
    std::thread canceller([&] {
        std::mt19937 random(5);
        wait_until([&] { return done || read_file(log).find("write ") != std::string::npos; },
                   30000);
        for (int sent = 0; sent < 40 && !done; sent++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 100));
            if (!done)
                kill(backend.pid, SIGTERM);
        }
    });
    process_result result = process_finish(backend);
    done = true;
    canceller.join();
    feeder.join();

    expected_port expected = replay_writes(read_file(log));
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.signal, 0);
    EXPECT_TRUE(expected.consistent) << "the writes do not follow the chunks";
    EXPECT_EQ(expected.consumed, job_size);
    // Enough faults that the campaign means something.
    EXPECT_GT(expected.dropped, 1000);
    const std::string send_error = "**** ERROR **** : Unable to send print file to printer.\n";
    EXPECT_EQ(count_of(result.err, send_error), static_cast<std::size_t>(expected.dropped));
    EXPECT_EQ(result.err.size(), expected.dropped * send_error.size()) << "other messages";
    EXPECT_EQ(result.status, expected.dropped > 0 ? 1 : 0);
    std::string why;
    EXPECT_TRUE(port_holds(port, expected, &why)) << why;
    unlink(port.c_str());
    unlink(log.c_str());
}

} // namespace
