// Who may do what on velokit-printer-app: one table of channel x identity x
// operation, each row proven by its effect on the printers and jobs as root
// sees them, each refusal by nothing changed and the server still running.
// The server runs confined as its unit confines it (tools/confine); the
// other machine is the sandbox's peer (tools/peer).
#include <gtest/gtest.h>
#include <map>
#include <regex>

#include "print_job.h"
#include "printer_app.h"
#include "sandbox.h"

namespace
{

const std::string port = "8641";
std::string dir, pdf, last_answer; // what the last client said, for a failing row
app_server server;
int printers_made = 0; // printer ids are given in order, from 1

// The local user a client runs as (the kernel's word over loopback) and
// the login it sends when asked; on the peer only the login counts.
struct identity {
    const char *uid, *login;
};
const identity root{"root", ""}, admin{"bob", ""}, user{"alice", ""}, anonymous{"root", ""},
    admin_login{"daemon", "bob:bob-secret"}, user_login{"daemon", "alice:alice-secret"};

struct access_row {
    const char *channel; // sock, cli, tcp, peer, peer-tls, web, web-home, web-peer, web-peer-tls
    const identity *who;
    const char *op;
    bool allowed;
};
const access_row as_root = {"sock", &root, "", true};

// Each operation as an IPP request on p0 or the system; $name, $job, $id
// and $doc are the row's.
const std::map<std::string, std::pair<const char *, const char *>> requests = {
    {"print", {"Print-Job", "FILE $doc"}},
    {"list", {"Get-Jobs", "ATTR keyword which-jobs all"}},
    {"create-job", {"Create-Job", ""}},
    {"cancel-own", {"Cancel-Job", "ATTR integer job-id $job"}},
    {"cancel-other", {"Cancel-Job", "ATTR integer job-id $job"}},
    {"release-own", {"Release-Job", "ATTR integer job-id $job"}},
    {"add",
     {"Create-Printer", "ATTR keyword printer-service-type print ATTR keyword "
                        "smi55357-driver orvex_v1 ATTR uri smi55357-device-uri "
                        "velokitlp:/var/run/velokitlp1 GROUP printer-attributes-tag "
                        "ATTR name printer-name $name"}},
    {"delete", {"Delete-Printer", "ATTR integer printer-id $id"}},
    {"modify",
     {"Set-Printer-Attributes", "GROUP printer-attributes-tag ATTR text "
                                "printer-location $name"}},
    {"disable", {"Disable-Printer", ""}},
    {"enable", {"Enable-Printer", ""}},
    {"pause", {"Pause-Printer", ""}},
    {"resume", {"Resume-Printer", ""}},
    {"hold", {"Hold-New-Jobs", ""}},
    {"release", {"Release-Held-New-Jobs", ""}},
    {"shutdown", {"Shutdown-All-Printers", ""}},
    {"status", {"Get-Printer-Attributes", ""}},
};

bool has(const std::string &text, const std::string &word)
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
    // A client that starts a server of its own keeps it in the sandbox.
    process_result result = process_run({argv, "", {"TMPDIR=" + dir}});
    last_answer = result.out + result.err;
    return result;
}

std::string url(const access_row &r, const std::string &path, bool login = true)
{
    std::string c = r.channel, scheme = has(c, "web") ? "http" : "ipp";
    std::string host = c == "sock"      ? "%2Frun%2Fvelokit-printer-app.sock"
                       : has(c, "peer") ? "10.77.0.1:" + port
                                        : "127.0.0.1:" + port;
    std::string credentials =
        login && r.who->login[0] != '\0' ? r.who->login + std::string("@") : "";
    return scheme + (has(c, "tls") ? "s" : "") + "://" + credentials + host + path;
}

// The operation from ipptool as the row's identity, claiming to be the
// local user, or "carol" on the peer: the job id it made, 0 for success
// without one, -1 for a refusal.
int ipp(const access_row &r, const std::string &op, const std::vector<std::string> &vars = {})
{
    auto [operation, attrs] = requests.at(op);
    bool system = op == "add" || op == "delete" || op == "shutdown";
    std::string uri = system ? "system-uri" : "printer-uri", file = dir + "/" + op + ".test";
    std::string claim = has(r.channel, "peer") ? "carol" : r.who->uid;
    write_file(
        file,
        std::string("{ OPERATION ") + operation +
            " GROUP operation-attributes-tag ATTR charset attributes-charset utf-8 "
            "ATTR naturalLanguage attributes-natural-language en ATTR uri " +
            uri + " $uri ATTR name requesting-user-name " + claim + " " + attrs +
            " STATUS successful-ok DISPLAY job-id DISPLAY printer-location DISPLAY "
            "printer-state DISPLAY printer-is-accepting-jobs DISPLAY printer-state-reasons }\n");
    std::vector<std::string> argv = {"/usr/bin/ipptool", "-t", "-T", "10", "-d", "doc=" + pdf};
    for (const auto &v : vars)
        argv.insert(argv.end(), {"-d", v});
    argv.insert(argv.end(), {url(r, system ? "/ipp/system" : "/ipp/print/p0"), file});
    std::smatch id;
    if (run_as(r, argv).status != 0)
        return -1;
    return std::regex_search(last_answer, id, std::regex("job-id \\(integer\\) = ([0-9]+)"))
               ? std::stoi(id[1])
               : 0;
}

// A web form posted by curl as the row's identity, with the session token
// of p0's page.
void web_post(const access_row &r, const std::string &path, const std::string &fields)
{
    std::smatch token;
    std::string page = run_as(r, {"/usr/bin/curl", "-sk", url(r, "/p0/", false)}).out;
    std::regex_search(page, token, std::regex("name=\"session\" value=\"([0-9a-f]+)\""));
    run_as(r, {"/usr/bin/curl", "-sk", "-o", "/dev/null", "-d",
               "session=" + token[1].str() + "&" + fields, url(r, path)});
}

bool printer_exists(const std::string &name)
{
    return has("\n" + app_run({"printers"}).out, "\n" + name + "\n");
}

// Does the row's operation; true when its effect is there.
bool attempt(const access_row &r)
{
    const std::string op = r.op, name = "n" + std::to_string(printers_made);
    // A web row's user makes its job over IPP as the local user it logs in as.
    std::string login = r.who->login, local_name = login.substr(0, login.find(':'));
    const identity local{local_name.c_str(), ""};
    access_row over_ipp = r;
    if (has(r.channel, "web"))
        over_ipp = {"tcp", &local, r.op, r.allowed};
    int job = op == "cancel-own" || op == "release-own" ? ipp(over_ipp, "create-job")
              : op == "cancel-other"                    ? ipp(as_root, "create-job")
              : op == "cancel-done"                     ? ipp(as_root, "print")
                                                        : 0;
    if (op == "cancel-done" && app_wait_job("p0", job, 60000) != "completed") {
        ADD_FAILURE() << "the job to cancel did not complete";
        return false;
    }
    if ((op == "delete" || op == "default") &&
        app_run({"add", "-d", name, "-m", "orvex_v1", "-v", "velokitlp:/var/run/velokitlp1"})
                .status == 0)
        printers_made++;
    std::string fields = "printer_name=" + name +
                         "&driver_name=orvex_v1&device_uri=velokitlp:/var/run/velokitlp1"
                         "&action=" +
                         (op == "pause"     ? "pause-printer"
                          : op == "hold"    ? "hold-new-jobs"
                          : op == "default" ? "set-as-default"
                                            : "cancel-job") +
                         "&job-id=" + std::to_string(job);
    int answer = 0;
    if (has(r.channel, "web"))
        web_post(r,
                 op == "add"              ? "/addprinter"
                 : op == "delete"         ? "/" + name + "/delete"
                 : op == "default"        ? "/" + name + "/"
                 : has(r.channel, "home") ? "/p0/"
                                          : "/p0/jobs",
                 fields);
    else
        answer = ipp(
            r, op,
            {"name=" + name, "job=" + std::to_string(job), "id=" + std::to_string(printers_made)});
    if (op == "print")
        return answer > 0 && app_wait_job("p0", answer, 60000) == "completed";
    if (op == "list" && std::string(r.channel) == "cli")
        return run_as(r, {printer_app_binary, "printers"}).status == 0; // not a private server's
    if (op == "list")
        return answer >= 0;
    if (has(op, "cancel") || op == "release-own") {
        bool done =
            op == "release-own" ? answer >= 0 : job > 0 && app_job_state("p0", job) == "canceled";
        // A refused row leaves no job behind.
        ipp(as_root, "cancel-other", {"job=" + std::to_string(job)});
        return done;
    }
    if (op == "add")
        return printer_exists(name) && ++printers_made > 0;
    if (op == "delete")
        return !printer_exists(name);
    if (op == "default") {
        bool changed = app_run({"default"}).out == name + "\n";
        app_run({"default", "-d", "p0"});
        return changed;
    }
    if (op == "shutdown") {
        app_run({"status"}); // the main loop acts on it when it next wakes
        return wait_until([] { return process_gone(server.process.pid); }, 2000);
    }
    ipp(as_root, "status");
    std::string status = last_answer;
    ipp(as_root, op == "pause" ? "resume" : op == "hold" ? "release" : "enable");
    return has(status, op == "modify"  ? "printer-location (textWithoutLanguage) = " + name
                       : op == "pause" ? "printer-state (enum) = stopped"
                       : op == "hold"  ? "hold-new-jobs"
                                       : "printer-is-accepting-jobs (boolean) = false");
}

TEST(AppAccess, EveryChannelAllowsWhatTheIdentityMayDoAndNothingElse)
{
    ASSERT_NO_FATAL_FAILURE(require_sandbox());
    dir = make_test_dir("access");
    pdf = make_sample_pdf(dir);
    // The test's users in the sandbox's own /etc (bob in lpadmin as a
    // supplementary group), the login service as the package installs it.
    for (const char *script : {"useradd -M alice && echo alice:alice-secret | chpasswd",
                               "useradd -M -G lpadmin bob && echo bob:bob-secret | chpasswd",
                               "install -m 0644 " VELOKIT_SOURCE_DIR
                               "/debian/velokit-printer-app.pam /etc/pam.d/velokit-printer-app",
                               "getent passwd lp && getent group lpadmin"})
        ASSERT_EQ(process_run({{"/bin/sh", "-c", script}}).status, 0) << script;
    set_port_files({1});
    ASSERT_EQ(process_run({{tool_path("peer"), "up"}}).status, 0);
    server =
        app_start(std::stoi(port), dir + "/server.log", {"VELOKIT_SIM_MODE=page"},
                  {tool_path("confine"), VELOKIT_SOURCE_DIR "/app/velokit-printer-app.service"});
    ASSERT_EQ(app_run({"add", "-d", "p0", "-m", "orvex_v1", "-v", "velokitlp:/var/run/velokitlp1"})
                  .status,
              0);
    printers_made = 1;

    const access_row rows[] = {
        // The local socket: root and the admin group only.
        {"sock", &root, "add", true},
        {"sock", &admin, "delete", true},
        {"sock", &admin, "cancel-other", true},
        {"sock", &user, "list", false},
        {"sock", &user, "cancel-other", false},
        {"cli", &admin, "list", true},
        {"cli", &user, "list", false},
        // IPP over loopback: the kernel names the local user; a login may
        // make an administrator.
        {"tcp", &root, "disable", true},
        {"tcp", &admin, "pause", true},
        {"tcp", &user, "print", true},
        {"tcp", &user, "list", true},
        {"tcp", &user, "cancel-own", true},
        {"tcp", &user, "cancel-other", false},
        // Released before its document came, PAPPL would start it without.
        {"tcp", &user, "release-own", false},
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
        {"peer", &anonymous, "release-own", false},
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
        {"web", &user_login, "cancel-own", true},
        {"web", &admin_login, "cancel-done", false},
        // The printer's own page: its actions an administrator's, a job its
        // owner's too, a finished job as it ended.
        {"web-home", &anonymous, "pause", false},
        {"web-home", &anonymous, "hold", false},
        {"web-home", &anonymous, "default", false},
        {"web-home", &user_login, "pause", false},
        {"web-home", &admin_login, "pause", true},
        {"web-home", &admin_login, "hold", true},
        {"web-home", &admin_login, "default", true},
        {"web-home", &anonymous, "cancel-other", false},
        {"web-home", &user_login, "cancel-other", false},
        {"web-home", &user_login, "cancel-own", true},
        {"web-home", &admin_login, "cancel-other", true},
        {"web-home", &admin_login, "cancel-done", false},
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
    // Written under the confinement, for root alone: the state file, and
    // the TLS key and certificate of the first HTTPS request.
    EXPECT_EQ(process_run({{"/bin/sh", "-c",
                            "stat -c %a /var/lib/velokit-printer-app.state; find /etc/cups/ssl "
                            "-type f -newer " +
                                pdf + " -printf '%m\\n' | sort | uniq -c"}})
                  .out,
              "600\n      2 600\n");
    app_stop(server);
    process_run({{tool_path("peer"), "down"}});
}

} // namespace
