#include "printer_app.h"

#include <csignal>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

const char *const printer_app_binary = VELOKIT_APP_BINARY;

// Under the sanitizers (tools/check) the leaks that PAPPL itself leaves are
// suppressed by the functions they come from, which the fast unwinder does
// not reach through libcups and PAPPL.
std::vector<std::string> app_env(std::vector<std::string> env)
{
    if (const char *asan = std::getenv("ASAN_OPTIONS"))
        env.push_back(std::string("ASAN_OPTIONS=") + asan + ":fast_unwind_on_malloc=0");
    return env;
}

app_server app_start(int port, const std::string &log, const std::vector<std::string> &env,
                     const std::vector<std::string> &wrapper)
{
    app_server server;
    server.port = port;
    server.log = log;
    std::vector<std::string> argv = wrapper;
    argv.insert(argv.end(),
                {printer_app_binary, "server", "-o", "server-port=" + std::to_string(port), "-o",
                 "log-file=" + log, "-o", "log-level=debug"});
    server.process = process_start({argv, "", app_env(env), "", -1, 600000});
    bool up = wait_until(
        [] { return app_run({"status"}).out.find("Running") != std::string::npos; }, 10000);
    if (!up)
        throw std::runtime_error("velokit-printer-app server did not start:\n" + read_file(log));
    return server;
}

// SIGTERM, as a service manager stops it: the server's main loop ends at
// once. (The shutdown sub-command takes effect only when the loop next wakes,
// and a request that wakes it races PAPPL 1.3.1's teardown of the system.)
bool app_stop(app_server &server)
{
    kill(server.process.pid, SIGTERM);
    bool ended = wait_until([&] { return process_gone(server.process.pid); }, 15000);
    if (!ended)
        kill(server.process.pid, SIGKILL);
    process_finish(server.process);
    return ended;
}

process_result app_run(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {printer_app_binary};
    argv.insert(argv.end(), args.begin(), args.end());
    return process_run({argv, "", app_env({})});
}

int app_submit(const std::string &printer, const std::string &file,
               const std::vector<std::string> &options)
{
    std::vector<std::string> args = {"submit", "-d", printer};
    for (const auto &o : options)
        args.insert(args.end(), {"-o", o});
    args.push_back(file);
    process_result r = app_run(args);
    // "PRINTER-ID"
    std::string prefix = printer + "-";
    if (r.status != 0 || r.out.compare(0, prefix.size(), prefix) != 0)
        return -1;
    return std::atoi(r.out.c_str() + prefix.size());
}

std::string app_job_state(const std::string &printer, int job)
{
    std::istringstream lines(app_run({"jobs", "-d", printer}).out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        int id = 0;
        std::string state;
        if (fields >> id >> state && id == job)
            return state;
    }
    return "";
}

std::string app_wait_job(const std::string &printer, int job, int timeout_ms)
{
    std::string state;
    wait_until(
        [&] {
            state = app_job_state(printer, job);
            return state == "completed" || state == "aborted" || state == "canceled";
        },
        timeout_ms);
    return state;
}
