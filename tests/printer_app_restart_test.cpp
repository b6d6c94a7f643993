// velokit-printer-app stopped or killed while a job prints behind a stalled
// converter and others wait: it ends within seconds, leaves no converter, and
// after the next start every job prints (or can be cancelled) without being
// sent again, under ids never given twice. Its own program: every row
// restarts the server.
#include <chrono>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

#include "control_daemon.h"
#include "print_job.h"
#include "printer_app.h"
#include "sandbox.h"

namespace
{

constexpr int app_port = 8632;
const std::string sim_dir = "/run/velokit-sim";

enum class stop_by { sigterm, shutdown_command, sigkill };

// After the restart: the jobs print, or are cancelled; or, before it, the
// last job's record is made what a crash leaves between the answer and the
// save that follows it (no document name), with its document whole or cut.
enum class then { print, cancel, name_lost, document_cut };

struct restart_case {
    const char *name;
    stop_by stop;
    then next;
};

// The state file as saved when the job was created: held, no document
// name. (A SIGKILL right after the answer may have left it so already.)
void as_saved_at_creation(int job, bool cut)
{
    char name[32];
    std::snprintf(name, sizeof(name), "j%09d-", job);
    for (const auto &e : std::filesystem::directory_iterator("/var/spool/velokit-printer-app")) {
        std::string path = e.path().string();
        if (cut && path.find(name) != std::string::npos && e.path().extension() == ".pdf") {
            std::string data = read_file(path);
            write_file(path, data.substr(0, data.size() / 2));
        }
    }
    const std::string state_file = "/var/lib/velokit-printer-app.state";
    std::string state = read_file(state_file);
    std::size_t id = state.find(" id=\"" + std::to_string(job) + "\"");
    ASSERT_NE(id, std::string::npos);
    std::size_t begin = state.rfind('\n', id) + 1, end = state.find('\n', id);
    std::string line = state.substr(begin, end - begin);
    line = std::regex_replace(line, std::regex(" (filename|state_reasons)=\"[^\"]*\""), "");
    line = std::regex_replace(line, std::regex(" state=\"[0-9]+\""), " state=\"4\"");
    write_file(state_file, state.replace(begin, end - begin, line), 0600);
}

// Confined as its unit confines it, where the state file can be written
// but not replaced. The stalled converter starts a child in its group, which
// a stop must end too; after a SIGKILL of the server only the converter dies
// with it.
app_server start_server(const std::string &dir, const char *mode, bool spawn)
{
    for (const char *name : {"pid", "child.pid", "done"})
        unlink((sim_dir + "/" + name).c_str());
    write_file(sim_dir + "/mode", mode);
    app_server server = app_start(
        app_port, dir + "/server.log",
        {"VELOKIT_SIM_STALL_BYTES=65536", spawn ? "VELOKIT_SIM_SPAWN=1" : "VELOKIT_SIM_SPAWN=0"},
        {tool_path("confine"), VELOKIT_SOURCE_DIR "/app/velokit-printer-app.service"});
    app_run({"add", "-d", "p0", "-m", "orvex_v1", "-v", "velokitlp:" + port_file(0)});
    return server;
}

// How long the server took to end after the stop, in milliseconds; -1 when
// it was still running after 15 seconds.
long stop_server(app_server &server, stop_by how)
{
    auto begin = std::chrono::steady_clock::now();
    if (how == stop_by::shutdown_command)
        EXPECT_EQ(app_run({"shutdown"}).status, 0);
    else
        kill(server.process.pid, how == stop_by::sigterm ? SIGTERM : SIGKILL);
    bool ended = wait_until([&] { return process_gone(server.process.pid); }, 15000);
    long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - begin)
                  .count();
    if (!ended)
        kill(server.process.pid, SIGKILL);
    process_finish(server.process);
    return ended ? ms : -1;
}

// The jobs the server started since its last start, in order, from its log.
std::vector<int> jobs_started(const std::string &log)
{
    // PAPPL renames a log grown past its limit to NAME.O.
    std::string text = read_file(log + ".O") + read_file(log);
    std::vector<int> started;
    const std::string mark = "] Starting print job.";
    for (std::size_t at = text.find(mark, text.rfind("Starting system.")); at != std::string::npos;
         at = text.find(mark, at + 1))
        started.push_back(std::atoi(text.c_str() + text.rfind("[Job ", at) + 5));
    return started;
}

TEST(PrinterAppRestart, StopsInSecondsAndPrintsEveryJobAfterTheNextStart)
{
    ASSERT_NO_FATAL_FAILURE(require_sandbox());
    std::string dir = make_test_dir("app-restart");
    std::string pdf = make_sample_pdf(dir);
    set_port_files({0});
    // The converter runs as lp and records there.
    mkdir(sim_dir.c_str(), 0777);
    chmod(sim_dir.c_str(), 0777);
    const restart_case cases[] = {
        {"SIGTERM", stop_by::sigterm, then::print},
        {"the shutdown sub-command", stop_by::shutdown_command, then::print},
        {"SIGKILL", stop_by::sigkill, then::print},
        {"SIGKILL, then cancelled", stop_by::sigkill, then::cancel},
        {"SIGKILL before the document's name was saved", stop_by::sigkill, then::name_lost},
        {"SIGKILL while the document was received", stop_by::sigkill, then::document_cut},
    };
    int last_id = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        bool spawn = c.stop != stop_by::sigkill;
        app_server server = start_server(dir, "stall", spawn);
        control_daemon daemon = daemon_start("payload");
        // One job prints into a converter that stopped reading, one waits,
        // and one is answered just before the stop.
        std::vector<int> jobs;
        jobs.push_back(app_submit("p0", pdf, {"print-quality=draft"}));
        ASSERT_TRUE(wait_for_file(sim_dir + (spawn ? "/child.pid" : "/pid"), 30000))
            << read_file(server.log);
        jobs.push_back(app_submit("p0", pdf, {"print-quality=draft"}));
        jobs.push_back(app_submit("p0", pdf, {"print-quality=draft"}));
        for (int job : jobs)
            EXPECT_GT(job, last_id);
        last_id = jobs.back();

        long ms = stop_server(server, c.stop);
        ASSERT_GE(ms, 0);
        EXPECT_LE(ms, under_memcheck() ? 30000 : 10000);
        if (c.stop != stop_by::sigkill) {
            EXPECT_TRUE(wait_until([&] { return daemon_received(daemon) == cancel_packet; }, 1000));
        }
        EXPECT_TRUE(wait_until([] { return job_processes().empty(); }, 5000));
        daemon_stop(daemon);

        bool lost = c.next == then::name_lost || c.next == then::document_cut;
        if (lost) {
            ASSERT_NO_FATAL_FAILURE(
                as_saved_at_creation(jobs.back(), c.next == then::document_cut));
        }
        server = start_server(dir, c.next == then::cancel ? "stall" : "page", false);
        std::vector<std::string> end_states(jobs.size(), "completed");
        std::vector<int> started = jobs;
        if (c.next == then::cancel) {
            ASSERT_TRUE(wait_for_file(sim_dir + "/pid", 30000)) << read_file(server.log);
            for (int job : jobs)
                EXPECT_EQ(app_run({"cancel", "-d", "p0", "-j", std::to_string(job)}).status, 0);
            end_states.assign(jobs.size(), "canceled");
        } else if (c.next == then::document_cut) {
            end_states.back() = "aborted";
            started.pop_back();
        }
        for (std::size_t i = 0; i < jobs.size(); i++)
            EXPECT_EQ(app_wait_job("p0", jobs[i], 30000), end_states[i]) << read_file(server.log);
        // In the order accepted, the interrupted job first.
        if (c.next != then::cancel) {
            EXPECT_EQ(jobs_started(server.log), started);
        }
        write_file(sim_dir + "/mode", "page");
        int next = app_submit("p0", pdf, {"print-quality=draft"});
        EXPECT_GT(next, last_id);
        last_id = std::max(last_id, next);
        app_wait_job("p0", next, 60000);
        EXPECT_TRUE(app_stop(server));
    }
}

} // namespace
