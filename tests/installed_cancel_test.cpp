// Cancelling a PDF job of the installed driver under the real scheduler,
// while the converter sleeps without reading: the daemon gets the cancel,
// the job ends canceled and none of its processes is left.
#include <gtest/gtest.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

#include "control_daemon.h"
#include "print_job.h"
#include "sandbox.h"

namespace
{

// Made once the suite knows it runs in the sandbox, never on the real /run.
std::string sim_dir;

class InstalledCancel : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        require_sandbox();
        if (HasFatalFailure())
            return;
        sim_dir = make_test_dir("sim");
        // The converter reads nothing, starts a child and sleeps.
        scheduler_start({"VELOKIT_SIM_DIR=" + sim_dir, "VELOKIT_SIM_MODE=stall",
                         "VELOKIT_SIM_STALL_BYTES=0", "VELOKIT_SIM_SPAWN=1"});
    }
    void SetUp() override
    {
        require_sandbox();
    }
};

TEST_F(InstalledCancel, CancelReachesTheDaemonAndEndsEveryProcessOfTheJob)
{
    set_port_files({0});
    add_driver_queue("vk", {"-m", "drv:///velokit.drv/orvexv1.ppd"}, "velokitlp:" + port_file(0));
    control_daemon daemon = daemon_start("payload");

    int job = lp_submit("vk", "/usr/share/cups/data/default-testpage.pdf");
    ASSERT_GT(job, 0);
    ASSERT_TRUE(wait_until([] { return read_pid(sim_dir + "/child.pid") > 0; }, 30000))
        << "the job's converter never started";
    pid_t converter = read_pid(sim_dir + "/pid");
    pid_t filter = parent_pid(converter);
    // A page at 300 dpi is far more than the pipe holds.
    ASSERT_TRUE(wait_until([&] { return process_in_syscall(filter, SYS_write); }, 20000))
        << "the filter never blocked writing rows";
    EXPECT_FALSE(job_processes().empty());

    process_result cancel = process_run({{"/usr/bin/cancel", std::to_string(job)}});
    ASSERT_EQ(cancel.status, 0) << cancel.err;
    // The job reads canceled before the filter's handler is done: wait for
    // the effects first.
    EXPECT_TRUE(wait_until([&] { return daemon_shutdowns(daemon) == 1; }, 10000))
        << "the daemon got no cancel";
    EXPECT_EQ(daemon_received(daemon), cancel_packet);
    EXPECT_EQ(cancel_packet.size(), 11u);
    EXPECT_TRUE(wait_until([] { return job_processes().empty(); }, 15000))
        << job_processes().size() << " processes of the job are left";
    EXPECT_TRUE(process_gone(read_pid(sim_dir + "/child.pid")));
    EXPECT_EQ(job_state_wait(job, 10000).state, "canceled");
    // The converter never wrote, so nothing reached the port.
    EXPECT_EQ(read_file(port_file(0)), "");
    daemon_stop(daemon);
}

} // namespace
