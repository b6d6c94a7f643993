// A cancel through a real private cupsd: the scheduler signals the filter's
// whole process group while the filter is blocked writing rows to a
// converter that has stopped reading, and the daemon must still get the
// cancel every time.
#include <csignal>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include "control_daemon.h"
#include "raster_writer.h"
#include "sandbox.h"

namespace
{

const std::string sim_dir = make_test_dir("sim");

// The printer end of the queue's socket:// device: takes whatever arrives,
// so the backend never fails the job on its own.
int printer_sink_port()
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), size) != 0 ||
        listen(listener, 8) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) != 0)
        throw std::runtime_error("cannot listen for the printer");
    std::thread([listener] {
        for (int fd; (fd = accept(listener, nullptr, nullptr)) >= 0; close(fd)) {
            char buffer[65536];
            while (read(fd, buffer, sizeof(buffer)) > 0) {
            }
        }
    }).detach();
    return ntohs(address.sin_port);
}

class CancelUnderScheduler : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        // The converter reads nothing, spawns a child and sleeps.
        scheduler_start({"VELOKIT_SIM_DIR=" + sim_dir, "VELOKIT_SIM_MODE=stall",
                         "VELOKIT_SIM_STALL_BYTES=0", "VELOKIT_SIM_SPAWN=1"});
        test_ppd ppd;
        ppd.runs_filter = true;
        scheduler_add_queue("vkc", ppd_text(ppd),
                            "socket://127.0.0.1:" + std::to_string(printer_sink_port()));
    }
    void SetUp() override
    {
        require_sandbox();
    }
};

std::string submit(const std::string &raster)
{
    process_result lp = process_run({{"/usr/bin/lp", "-d", "vkc", "-o",
                                      "document-format=application/vnd.cups-raster", raster}});
    EXPECT_EQ(lp.status, 0) << lp.err;
    // "request id is vkc-7 (1 file(s))"
    std::size_t start = lp.out.find("vkc-");
    return start == std::string::npos ? "" : lp.out.substr(start, lp.out.find(' ', start) - start);
}

bool exited_with_no_errors(pid_t filter)
{
    std::string line = "PID " + std::to_string(filter) +
                       " (/usr/lib/cups/filter/rastertovelokit) exited with no errors.";
    return read_file(scheduler().dir + "/log/error_log").find(line) != std::string::npos;
}

TEST_F(CancelUnderScheduler, EveryCancelReachesTheDaemonAndLeavesNothingBehind)
{
    constexpr int cancels = 5;
    control_daemon daemon = daemon_start("payload");
    // Far more rows than the pipe and the filter's stream buffer hold.
    std::string raster = make_test_dir("raster") + "/job.ras";
    ASSERT_TRUE(raster_write_file(raster, raster_kind::v3, {{4096, 400, 4096}}));

    std::string expected;
    for (int n = 1; n <= cancels; n++) {
        SCOPED_TRACE("cancel " + std::to_string(n));
        unlink((sim_dir + "/pid").c_str());
        unlink((sim_dir + "/child.pid").c_str());
        std::string job = submit(raster);
        ASSERT_NE(job, "");
        ASSERT_TRUE(wait_until([] { return read_pid(sim_dir + "/child.pid") > 0; }, 20000))
            << "the job's converter never started";
        pid_t converter = read_pid(sim_dir + "/pid");
        pid_t child = read_pid(sim_dir + "/child.pid");
        pid_t filter = parent_pid(converter);
        ASSERT_TRUE(wait_until([&] { return process_in_syscall(filter, SYS_write); }, 10000))
            << "the filter never blocked writing rows";

        process_result cancel = process_run({{"/usr/bin/cancel", job}});
        ASSERT_EQ(cancel.status, 0) << cancel.err;
        expected += cancel_packet;
        EXPECT_TRUE(wait_until([&] { return daemon_shutdowns(daemon) == n; }, 10000))
            << "the daemon got no cancel";
        EXPECT_EQ(daemon_received(daemon), expected);
        EXPECT_EQ(daemon_connections(daemon), n);
        EXPECT_TRUE(wait_until(
            [&] { return process_gone(filter) && process_gone(converter) && process_gone(child); },
            10000))
            << "a process of the job is left behind";
        EXPECT_TRUE(wait_until([&] { return exited_with_no_errors(filter); }, 10000))
            << "the filter did not end with status 0";
    }
    daemon_stop(daemon);
}

} // namespace
