#include "control_daemon.h"

#include <csignal>
#include <stdexcept>

const std::string cancel_packet("pcp\0\6cancel", 11);

control_daemon daemon_start(const std::string &reply)
{
    control_daemon daemon;
    daemon.dir = make_test_dir("daemon");
    daemon.process = process_start({{VELOKIT_DAEMON_SIM_BINARY, daemon.dir, reply}});
    if (!wait_for_file(daemon.dir + "/ready", 5000)) {
        daemon_stop(daemon);
        throw std::runtime_error("the control daemon simulator did not start");
    }
    return daemon;
}

void daemon_stop(control_daemon &daemon)
{
    if (daemon.process.pid > 0) {
        kill(daemon.process.pid, SIGKILL);
        process_finish(daemon.process);
        daemon.process.pid = -1;
    }
}

std::string daemon_received(const control_daemon &daemon)
{
    return read_file(daemon.dir + "/received");
}

static int count(const control_daemon &daemon, const char *name)
{
    std::string text = read_file(daemon.dir + "/" + name);
    return text.empty() ? 0 : std::stoi(text);
}

int daemon_connections(const control_daemon &daemon)
{
    return count(daemon, "connections");
}

int daemon_shutdowns(const control_daemon &daemon)
{
    return count(daemon, "shutdown");
}
