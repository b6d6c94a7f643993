// 100 cancels (SIGTERM) of the real rastertovelokit at random moments of real
// jobs: during the PPD fetch, before the raster opens, inside a header,
// mid-page, between pages, at the end of the raster, while the converter
// finishes, and after a random delay of a job in full flow; with the control
// daemon answering, answering nonsense, silent or absent. Every run must end
// with status 0 within the bound of the daemon's reply, and nothing of the
// job may survive it.
#include <chrono>
#include <csignal>
#include <cups/raster.h>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "control_daemon.h"
#include "raster_writer.h"
#include "sandbox.h"

namespace
{

enum class moment {
    ppd_fetch,     // the scheduler never answers the PPD request
    raster_held,   // the raster arrives on standard input and stops after `held` bytes
    converter_end, // all rows sent; the converter reads them and does not end
    in_flow,       // the whole job flows; the signal comes after `delay_ms`
};

struct cancel_run {
    moment at;
    std::size_t held = 0;
    int delay_ms = 0;
    const char *reply = nullptr; // the daemon's reply variant; nullptr: no daemon
};

const std::vector<raster_page> pages = {{300, 20, 300}, {64, 7, 64}, {1000, 12, 1000}};
// What the converter gets for the whole job.
std::size_t rows_size()
{
    std::size_t size = 0;
    for (const auto &p : pages)
        size += std::size_t{p.height} * ((p.bytes_per_line + 3) / 4 * 4);
    return size;
}

// Bytes of a stream before each page's header, and in all.
struct stream_layout {
    std::string bytes;
    std::vector<std::size_t> page_starts;
};

stream_layout job_stream()
{
    stream_layout layout;
    std::string path = make_test_dir("raster") + "/job.ras";
    EXPECT_TRUE(raster_write_file(path, raster_kind::v3, pages));
    layout.bytes = read_file(path);
    std::size_t at = 4;
    for (const auto &p : pages) {
        layout.page_starts.push_back(at);
        at += sizeof(cups_page_header2_t) + std::size_t{p.height} * p.bytes_per_line;
    }
    EXPECT_EQ(at, layout.bytes.size());
    return layout;
}

// The plan: every kind of moment, the held raster cut at random and at the
// boundaries that matter, the daemon's answers drawn at random.
std::vector<cancel_run> campaign(const stream_layout &layout)
{
    std::mt19937 random(1729);
    const char *const replies[] = {nullptr,   "payload", "status", "status-ff",
                                   "not-pcp", "short",   "long"};
    std::vector<std::size_t> boundaries = {0, 2, 4, 900, layout.bytes.size()};
    for (std::size_t start : layout.page_starts) {
        boundaries.push_back(start);                                     // between pages
        boundaries.push_back(start + sizeof(cups_page_header2_t) + 150); // mid-row
    }
    std::vector<cancel_run> runs;
    for (int i = 0; i < 100; i++) {
        cancel_run run;
        run.reply = replies[random() % std::size(replies)];
        int kind = i % 10;
        if (kind == 0) {
            run.at = moment::ppd_fetch;
        } else if (kind == 1) {
            run.at = moment::converter_end;
        } else if (kind <= 3) {
            run.at = moment::in_flow;
            run.delay_ms = static_cast<int>(random() % 60);
        } else {
            run.at = moment::raster_held;
            run.held = kind <= 6 ? boundaries[random() % boundaries.size()]
                                 : random() % (layout.bytes.size() + 1);
        }
        runs.push_back(run);
    }
    // A daemon that never answers holds the filter for its whole bound: twice.
    runs[7].reply = runs[44].reply = "silent";
    return runs;
}

struct cancel_result {
    process_result result;
    pid_t converter = -1, converter_child = -1;
    std::size_t converter_input = 0;
    bool reached = false;
};

bool pipe_drained(int fd)
{
    int waiting = -1;
    return ioctl(fd, FIONREAD, &waiting) == 0 && waiting == 0;
}

// The filter's first act is to install its handler: until then a SIGTERM
// ends it before it has done anything, as it ends any program.
bool catches_sigterm(pid_t pid)
{
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    std::size_t at = status.find("SigCgt:");
    if (at == std::string::npos)
        return false;
    unsigned long long caught = std::stoull(status.substr(at + 7), nullptr, 16);
    return (caught >> (SIGTERM - 1) & 1) != 0;
}

cancel_result cancel_once(const cancel_run &run, const stream_layout &layout, int bound_ms)
{
    cancel_result out;
    std::string sim = make_test_dir("sim");
    std::string raster = make_test_dir("raster") + "/job.ras";
    write_file(raster, layout.bytes);
    process_spec launch{{filter_binary, "42", "user", "title", "1", ""},
                        "vk",
                        {"VELOKIT_SIM_DIR=" + sim, "TMPDIR=" + make_test_dir("tmp")}};
    // A converter with a child of its own, which only the cancel ends; a job
    // in full flow may end before its cancel, so its converter has none.
    if (run.at != moment::in_flow)
        launch.env.push_back("VELOKIT_SIM_SPAWN=1");
    mute_scheduler mute;
    int input[2] = {-1, -1};
    std::function<bool(pid_t)> ready;
    switch (run.at) {
    case moment::ppd_fetch:
        launch.argv0 = "vk_unlisted";
        launch.env.push_back("CUPS_SERVER=" + mute.path);
        launch.argv.push_back(raster);
        ready = [&](pid_t) { return mute.request_pending(); };
        break;
    case moment::raster_held:
        EXPECT_EQ(pipe2(input, O_CLOEXEC), 0);
        EXPECT_EQ(write(input[1], layout.bytes.data(), run.held), static_cast<ssize_t>(run.held));
        launch.stdin_fd = input[0];
        // Blocked reading standard input with everything given taken.
        ready = [&](pid_t filter) {
            return pipe_drained(input[0]) && process_in_syscall(filter, SYS_read, 0);
        };
        break;
    case moment::converter_end:
        launch.env.push_back("VELOKIT_SIM_MODE=stall");
        launch.env.push_back("VELOKIT_SIM_STALL_BYTES=1000000000");
        launch.argv.push_back(raster);
        ready = [&](pid_t filter) {
            return file_exists(sim + "/child.pid") && process_in_syscall(filter, SYS_wait4);
        };
        break;
    case moment::in_flow:
        launch.argv.push_back(raster);
        ready = catches_sigterm;
        break;
    }
    running_process filter = process_start(launch);
    out.reached = wait_until([&] { return ready(filter.pid); }, 10000);
    std::this_thread::sleep_for(std::chrono::milliseconds(run.delay_ms));
    kill(filter.pid, SIGTERM);
    filter.timeout_ms = bound_ms;
    out.result = process_finish(filter);
    out.converter = read_pid(sim + "/pid");
    out.converter_child = read_pid(sim + "/child.pid");
    out.converter_input = read_file(sim + "/stdin").size();
    for (int fd : input)
        if (fd >= 0)
            close(fd);
    return out;
}

class FilterCancelCampaign : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        scheduler_add_queue("vk", ppd_text({}));
    }
    void SetUp() override
    {
        require_sandbox();
    }
};

TEST_F(FilterCancelCampaign, EveryCancelEndsTheJobWithZeroInTime)
{
    stream_layout layout = job_stream();
    for (const auto &run : campaign(layout)) {
        SCOPED_TRACE("moment " + std::to_string(static_cast<int>(run.at)) + ", held " +
                     std::to_string(run.held) + ", delay " + std::to_string(run.delay_ms) +
                     ", daemon " + (run.reply ? run.reply : "none"));
        control_daemon daemon;
        if (run.reply != nullptr)
            daemon = daemon_start(run.reply);
        bool silent = run.reply != nullptr && std::string(run.reply) == "silent";
        // The reply bound, and some time to start and stop processes.
        cancel_result out = cancel_once(run, layout, silent ? 8000 : 3000);

        EXPECT_TRUE(out.reached) << "the moment never came";
        EXPECT_FALSE(out.result.timed_out) << "the filter outlived its bound";
        EXPECT_EQ(out.result.status, 0) << "signal " << out.result.signal;
        EXPECT_EQ(out.result.err, "");
        for (pid_t pid : {out.converter, out.converter_child}) {
            if (pid > 0) {
                EXPECT_TRUE(wait_until([&] { return process_gone(pid); }, 3000))
                    << "process " << pid << " of the job survived";
            }
        }
        if (run.reply == nullptr)
            continue;
        // Only a job in full flow may have ended before its cancel came, and
        // then with every row sent.
        if (daemon_connections(daemon) == 0 && run.at == moment::in_flow) {
            EXPECT_EQ(out.converter_input, rows_size());
        } else {
            EXPECT_TRUE(wait_until([&] { return daemon_shutdowns(daemon) == 1; }, 3000));
            EXPECT_EQ(daemon_received(daemon), cancel_packet);
            EXPECT_EQ(daemon_connections(daemon), 1);
        }
        daemon_stop(daemon);
    }
}

} // namespace
