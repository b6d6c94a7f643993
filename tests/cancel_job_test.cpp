// A cancel (SIGTERM) of the real rastertovelokit at each stage of a job, with
// the control daemon played by its simulator and the converter by its own.
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

#include "control_daemon.h"
#include "raster_writer.h"
#include "sandbox.h"

namespace
{

enum class stage {
    ppd_fetch,          // waiting for the scheduler's answer in cupsGetPPD
    empty_stdin,        // the raster stream opening on a pipe that never delivers
    converter_sleeping, // all rows sent, waiting for a converter that sleeps
    blocked_write,      // writing rows to a converter that has stopped reading
};

const char *const converter = "/usr/lib/cups/filter/velokit-filter";
// Longer than the filter's bounded wait for a reply, shorter than a hang.
constexpr int silent_daemon_ms = 15000;
// Without a daemon or with one that answers, the filter ends well before that bound.
constexpr int prompt_ms = 8000;

struct cancel_outcome {
    process_result result;
    pid_t converter = -1, converter_child = -1;
};

std::string raster_file(const std::vector<raster_page> &pages)
{
    std::string path = make_test_dir("raster") + "/job.ras";
    EXPECT_TRUE(raster_write_file(path, raster_kind::v3, pages));
    return path;
}

// Runs the filter up to the stage, sends SIGTERM and collects the outcome.
cancel_outcome cancel_at(stage at, int finish_ms)
{
    cancel_outcome outcome;
    std::string sim = make_test_dir("sim");
    process_spec launch{{filter_binary, "42", "user", "title", "1", ""},
                        "vk",
                        {"VELOKIT_SIM_DIR=" + sim, "TMPDIR=" + make_test_dir("tmp"),
                         "VELOKIT_SIM_MODE=stall", "VELOKIT_SIM_SPAWN=1"}};
    mute_scheduler mute;
    int never[2] = {-1, -1};
    std::function<bool(pid_t)> ready;
    switch (at) {
    case stage::ppd_fetch:
        launch.argv0 = "vk_unlisted";
        launch.env.push_back("CUPS_SERVER=" + mute.path);
        launch.argv.push_back(raster_file({{10, 3, 10}}));
        ready = [&](pid_t) { return mute.request_pending(); };
        break;
    case stage::empty_stdin:
        EXPECT_EQ(pipe2(never, O_CLOEXEC), 0);
        launch.stdin_fd = never[0];
        ready = [](pid_t filter) { return process_in_syscall(filter, SYS_read, 0); };
        break;
    case stage::converter_sleeping:
        // Reads every row, then sleeps instead of ending.
        launch.env.push_back("VELOKIT_SIM_STALL_BYTES=1000000000");
        launch.argv.push_back(raster_file({{100, 10, 100}}));
        ready = [&](pid_t filter) {
            return file_exists(sim + "/child.pid") && process_in_syscall(filter, SYS_wait4);
        };
        break;
    case stage::blocked_write:
        // Far more rows than the pipe and the stream's buffer hold.
        launch.env.push_back("VELOKIT_SIM_STALL_BYTES=4096");
        launch.argv.push_back(raster_file({{4096, 1000, 4096}}));
        ready = [&](pid_t filter) {
            return file_exists(sim + "/child.pid") && process_in_syscall(filter, SYS_write);
        };
        break;
    }
    running_process filter = process_start(launch);
    EXPECT_TRUE(wait_until([&] { return ready(filter.pid); }, 10000)) << "stage never reached";
    kill(filter.pid, SIGTERM);
    filter.timeout_ms = finish_ms;
    outcome.result = process_finish(filter);
    outcome.converter = read_pid(sim + "/pid");
    outcome.converter_child = read_pid(sim + "/child.pid");
    for (int fd : never)
        if (fd >= 0)
            close(fd);
    return outcome;
}

class CancelJob : public ::testing::Test
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

TEST_F(CancelJob, AtEveryStageStopsThisJobTellsTheDaemonAndEndsWithZero)
{
    struct cancel_case {
        const char *name;
        stage at;
        const char *reply; // the daemon's reply variant; nullptr: no daemon listens
    };
    const cancel_case cases[] = {
        {"waiting for the PPD", stage::ppd_fetch, "payload"},
        {"reading an empty stdin", stage::empty_stdin, "payload"},
        {"converter sleeping mid-job", stage::converter_sleeping, "payload"},
        {"blocked writing rows", stage::blocked_write, "payload"},
        {"no daemon, reading stdin", stage::empty_stdin, nullptr},
        {"no daemon, blocked writing", stage::blocked_write, nullptr},
        {"reply of length 0 with a status", stage::empty_stdin, "status"},
        {"reply with status 0xFF", stage::empty_stdin, "status-ff"},
        {"reply that is not pcp", stage::empty_stdin, "not-pcp"},
        {"reply of 4 bytes", stage::empty_stdin, "short"},
        {"reply longer than 128", stage::blocked_write, "long"},
        {"no reply at all", stage::blocked_write, "silent"},
    };
    // Another queue's converter, in a process group of its own, must live on.
    std::string other = make_test_dir("other");
    running_process bystander =
        process_start({{converter}, "", {"VELOKIT_SIM_DIR=" + other, "VELOKIT_SIM_MODE=stall"}});
    ASSERT_TRUE(wait_for_file(other + "/pid", 5000));

    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        control_daemon daemon;
        if (c.reply != nullptr)
            daemon = daemon_start(c.reply);
        bool silent = c.reply != nullptr && std::string(c.reply) == "silent";
        cancel_outcome outcome = cancel_at(c.at, silent ? silent_daemon_ms : prompt_ms);

        EXPECT_FALSE(outcome.result.timed_out) << "the filter outlived its bound";
        EXPECT_EQ(outcome.result.status, 0) << "signal " << outcome.result.signal;
        EXPECT_EQ(outcome.result.err, "");
        if (c.at == stage::converter_sleeping || c.at == stage::blocked_write) {
            ASSERT_GT(outcome.converter, 0);
            ASSERT_GT(outcome.converter_child, 0);
            EXPECT_TRUE(wait_until([&] { return process_gone(outcome.converter); }, 5000));
            EXPECT_TRUE(wait_until([&] { return process_gone(outcome.converter_child); }, 5000));
        } else {
            EXPECT_EQ(outcome.converter, -1) << "no converter before the first page";
        }
        if (c.reply != nullptr) {
            EXPECT_TRUE(wait_until([&] { return daemon_shutdowns(daemon) == 1; }, 5000))
                << "the connection was not shut down";
            EXPECT_EQ(daemon_received(daemon), cancel_packet);
            EXPECT_EQ(daemon_connections(daemon), 1);
            daemon_stop(daemon);
        }
        EXPECT_FALSE(process_gone(bystander.pid)) << "another job's converter was stopped";
    }
    kill(bystander.pid, SIGKILL);
    process_finish(bystander);
}

} // namespace
