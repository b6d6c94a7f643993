// Who may do what on velokit-printer-app: one table of channel x identity x
// operation, each row proven by its effect on the server's printers and jobs
// as root sees them, each refusal by nothing having changed and the server
// still running. The server runs confined as its unit confines it
// (tools/confine); the other machine is the sandbox's peer (tools/peer).
#include <gtest/gtest.h>
#include <regex>

#include "print_job.h"
#include "printer_app.h"
#include "sandbox.h"

namespace
{

constexpr int app_port = 8641;
const std::string port_text = std::to_string(app_port);
std::string dir, pdf;
app_server server;
int printers_made = 0;   // printer ids are given in order, from 1
std::string last_answer; // what the last client said, for a failing row

// A local user whose processes connect (the kernel's word over loopback),
// and the login sent when the server asks for one ("user:password"); on the
// peer only the login counts.
struct identity {
    const char *uid, *login;
};
const identity root{"root", ""}, admin{"bob", ""}, user{"alice", ""}, anonymous{"root", ""},
    admin_login{"daemon", "bob:bob-secret"}, user_login{"daemon", "alice:alice-secret"};

struct access_row {
    const char *channel; // sock, cli, tcp, peer, peer-tls, web, web-peer, web-peer-tls
    const identity *who;
    const char *op;
    bool allowed;
};

bool has(const std::string &text, const char *word)
{
    return text.find(word) != std::string::npos;
}

process_result run_as(const access_row &r, std::vector<std::string> argv)
{
    if (has(r.channel, "peer"))
        argv.insert(argv.begin(), {tool_path("peer"), "run"});
    else if (std::string(r.who->uid) != "root")
        argv.insert(argv.begin(), {"/usr/bin/setpriv", std::string("--reuid=") + r.who->uid,
                                   std::string("--regid=") + r.who->uid, "--init-groups"});
    process_result result = process_run({argv});
    last_answer = result.out + result.err;
    return result;
}

std::string url(const access_row &r, const std::string &path)
{
    std::string channel = r.channel;
    std::string scheme = has(channel, "web") ? "http" : "ipp";
    std::string host = channel == "sock"      ? "%2Frun%2Fvelokit-printer-app.sock"
                       : has(channel, "peer") ? "10.77.0.1:" + port_text
                                              : "127.0.0.1:" + port_text;
    std::string login = r.who->login[0] != '\0' ? r.who->login + std::string("@") : "";
    return scheme + (has(channel, "tls") ? "s" : "") + "://" + login + host + path;
}

// What a client claims to be: the local user, or "carol" on another machine.
std::string claimed_name(const access_row &r)
{
    return has(r.channel, "peer") ? "carol" : r.who->uid;
}

// One IPP request from ipptool as the row's identity, showing the named
// attributes of the answer.
process_result ipptool(const access_row &r, const std::string &path, const std::string &op,
                       const std::string &attrs, const std::string &display = "job-id")
{
    std::string file = dir + "/" + op + ".test";
    write_file(file, "{ OPERATION " + op +
                         " GROUP operation-attributes-tag ATTR charset attributes-charset utf-8"
                         " ATTR naturalLanguage attributes-natural-language en"
                         " ATTR name requesting-user-name " +
                         claimed_name(r) + " " + attrs + " STATUS successful-ok DISPLAY " +
                         display + " }\n");
    return run_as(r,
                  {"/usr/bin/ipptool", "-t", "-T", "10", "-d", "doc=" + pdf, url(r, path), file});
}

// The job id the request made, 0 for success without one, -1 for a refusal.
int ipp(const access_row &r, const std::string &path, const std::string &op,
        const std::string &attrs)
{
    process_result result = ipptool(r, path, op, attrs);
    std::smatch id;
    if (result.status != 0)
        return -1;
    return std::regex_search(result.out, id, std::regex("job-id \\(integer\\) = ([0-9]+)"))
               ? std::stoi(id[1])
               : 0;
}

// A web form posted by curl as the row's identity, with the session token
// of the printer's page; the HTTP status.
int web_post(const access_row &r, const std::string &path, const std::string &fields)
{
    std::string page = run_as(r, {"/usr/bin/curl", "-sk", "--max-time", "10",
                                  url({r.channel, &anonymous, "", true}, "/p0/")})
                           .out;
    std::smatch token;
    std::regex_search(page, token, std::regex("name=\"session\" value=\"([0-9a-f]+)\""));
    process_result result =
        run_as(r, {"/usr/bin/curl", "-sk", "--max-time", "10", "-o", "/dev/null", "-w",
                   "%{http_code}", "-d", "session=" + token[1].str() + "&" + fields, url(r, path)});
    return std::atoi(result.out.c_str());
}

bool printer_exists(const std::string &name)
{
    return has("\n" + app_run({"printers"}).out, ("\n" + name + "\n").c_str());
}

// A printer added by root; its id.
int root_adds(const std::string &name)
{
    EXPECT_EQ(app_run({"add", "-d", name, "-m", "orvex_v1", "-v", "velokitlp:/var/run/velokitlp1"})
                  .status,
              0);
    return ++printers_made;
}

int root_job()
{
    return ipp({"sock", &root, "", true}, "/ipp/print/p0", "Create-Job",
               "ATTR uri printer-uri $uri");
}

// p0's location, state and acceptance as root sees them.
std::string printer_status()
{
    return ipptool({"sock", &root, "", true}, "/ipp/print/p0", "Get-Printer-Attributes",
                   "ATTR uri printer-uri $uri",
                   "printer-location DISPLAY printer-state DISPLAY printer-is-accepting-jobs")
        .out;
}

// Does the row's operation, and answers whether its effect is there.
bool attempt(const access_row &r)
{
    const std::string op = r.op, channel = r.channel, name = "n" + std::to_string(printers_made);
    const std::string p0 = "ATTR uri printer-uri $uri", sys = "/ipp/system";
    const bool web = has(channel, "web"), cli = channel == "cli";
    if (op == "print") {
        int job = ipp(r, "/ipp/print/p0", "Print-Job", p0 + " FILE $doc");
        return job > 0 && app_wait_job("p0", job, 60000) == "completed";
    }
    if (op == "list")
        return ipp(r, "/ipp/print/p0", "Get-Jobs", p0 + " ATTR keyword which-jobs all") >= 0;
    if (op == "cancel-own" || op == "cancel-other") {
        int job = op == "cancel-own" ? ipp(r, "/ipp/print/p0", "Create-Job", p0) : root_job();
        if (job <= 0)
            return false;
        std::string id = std::to_string(job);
        if (web)
            web_post(r, "/p0/jobs", "action=cancel-job&job-id=" + id);
        else if (cli)
            run_as(r, {printer_app_binary, "cancel", "-d", "p0", "-j", id});
        else
            ipp(r, "/ipp/print/p0", "Cancel-Job", p0 + " ATTR integer job-id " + id);
        return app_job_state("p0", job) == "canceled";
    }
    if (op == "add") {
        if (web)
            web_post(r, "/addprinter",
                     "printer_name=" + name +
                         "&driver_name=orvex_v1&device_uri=velokitlp:/var/run/velokitlp1");
        else if (cli)
            run_as(r, {printer_app_binary, "add", "-d", name, "-m", "orvex_v1", "-v",
                       "velokitlp:/var/run/velokitlp1"});
        else
            ipp(r, sys, "Create-Printer",
                "ATTR uri system-uri $uri ATTR keyword printer-service-type print"
                " ATTR keyword smi55357-driver orvex_v1"
                " ATTR uri smi55357-device-uri velokitlp:/var/run/velokitlp1"
                " GROUP printer-attributes-tag ATTR name printer-name " +
                    name);
        bool added = printer_exists(name);
        printers_made += added ? 1 : 0;
        return added;
    }
    if (op == "delete") {
        std::string victim = "d" + std::to_string(printers_made);
        int id = root_adds(victim);
        if (web)
            web_post(r, "/" + victim + "/delete", "x=1");
        else
            ipp(r, sys, "Delete-Printer",
                "ATTR uri system-uri $uri ATTR integer printer-id " + std::to_string(id));
        return !printer_exists(victim);
    }
    if (op == "modify") {
        ipp(r, "/ipp/print/p0", "Set-Printer-Attributes",
            p0 + " GROUP printer-attributes-tag ATTR text printer-location " + name);
        return has(printer_status(), ("printer-location (textWithoutLanguage) = " + name).c_str());
    }
    if (op == "disable" || op == "pause") {
        ipp(r, "/ipp/print/p0", op == "pause" ? "Pause-Printer" : "Disable-Printer", p0);
        std::string state = printer_status();
        ipp({"sock", &root, "", true}, "/ipp/print/p0",
            op == "pause" ? "Resume-Printer" : "Enable-Printer", p0);
        return has(state, op == "pause" ? "printer-state (enum) = stopped"
                                        : "printer-is-accepting-jobs (boolean) = false");
    }
    // shutdown: takes effect when the main loop next wakes.
    ipp(r, sys, "Shutdown-All-Printers", "ATTR uri system-uri $uri");
    app_run({"status"});
    return wait_until([] { return process_gone(server.process.pid); }, 2000);
}

class AppAccess : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        ASSERT_NO_FATAL_FAILURE(require_sandbox());
        dir = make_test_dir("access");
        pdf = make_sample_pdf(dir);
        // The test's users in the sandbox's own /etc; the login service as
        // the package installs it.
        for (const char *script : {"useradd -M alice && echo alice:alice-secret | chpasswd",
                                   "useradd -M -G lpadmin bob && echo bob:bob-secret | chpasswd",
                                   "install -m 0644 " VELOKIT_SOURCE_DIR
                                   "/debian/velokit-printer-app.pam /etc/pam.d/velokit-printer-app",
                                   "getent passwd lp && getent group lpadmin"})
            ASSERT_EQ(process_run({{"/bin/sh", "-c", script}}).status, 0) << script;
        set_port_files({0, 1});
        ASSERT_EQ(process_run({{tool_path("peer"), "up"}}).status, 0);
        server = app_start(
            app_port, dir + "/server.log", {"VELOKIT_SIM_MODE=page"},
            {tool_path("confine"), VELOKIT_SOURCE_DIR "/app/velokit-printer-app.service"});
        root_adds("p0");
    }
    static void TearDownTestSuite()
    {
        app_stop(server);
        process_run({{tool_path("peer"), "down"}});
    }
};

TEST_F(AppAccess, EveryChannelAllowsWhatTheIdentityMayDoAndNothingElse)
{
    const access_row rows[] = {
        // The local socket: root and the admin group only.
        {"sock", &root, "add", true},
        {"sock", &admin, "delete", true},
        {"sock", &user, "list", false},
        {"sock", &user, "cancel-other", false},
        {"cli", &admin, "add", true},
        {"cli", &admin, "cancel-other", true},
        // IPP over loopback: the kernel names the local user.
        {"tcp", &root, "disable", true},
        {"tcp", &admin, "pause", true},
        {"tcp", &user, "print", true},
        {"tcp", &user, "list", true},
        {"tcp", &user, "cancel-own", true},
        {"tcp", &user, "cancel-other", false},
        {"tcp", &user, "add", false},
        {"tcp", &user, "delete", false},
        {"tcp", &user, "modify", false},
        {"tcp", &user, "disable", false},
        {"tcp", &user, "pause", false},
        {"tcp", &user, "shutdown", false},
        {"tcp", &admin_login, "delete", true},
        {"tcp", &user_login, "add", false},
        // IPP from another machine: anonymous, or an administrator over TLS.
        {"peer", &anonymous, "print", true},
        {"peer", &anonymous, "list", true},
        {"peer", &anonymous, "cancel-own", true},
        {"peer", &anonymous, "cancel-other", false},
        {"peer", &anonymous, "add", false},
        {"peer", &anonymous, "delete", false},
        {"peer", &anonymous, "modify", false},
        {"peer", &anonymous, "shutdown", false},
        {"peer-tls", &admin_login, "add", true},
        {"peer-tls", &admin_login, "cancel-other", true},
        {"peer-tls", &user_login, "delete", false},
        // The web interface: a login for every page that changes something.
        {"web", &anonymous, "add", false},
        {"web", &anonymous, "cancel-other", false},
        {"web", &user_login, "delete", false},
        {"web", &admin_login, "add", true},
        {"web", &admin_login, "cancel-other", true},
        {"web-peer", &anonymous, "add", false},
        {"web-peer", &admin_login, "add", false},
        {"web-peer-tls", &anonymous, "delete", false},
        {"web-peer-tls", &user_login, "add", false},
        {"web-peer-tls", &admin_login, "delete", true},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string(r.channel) + " " + r.who->uid + " " + r.who->login + " " + r.op);
        EXPECT_EQ(attempt(r), r.allowed) << last_answer;
        ASSERT_FALSE(process_gone(server.process.pid)) << read_file(server.log);
    }
}

} // namespace
