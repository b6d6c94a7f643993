#include "sandbox.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

const char *const filter_binary = VELOKIT_FILTER_BINARY;
const char *const rasterwrite_binary = VELOKIT_RASTERWRITE_BINARY;

std::string tool_path(const std::string &name)
{
    return std::string(VELOKIT_SOURCE_DIR) + "/tools/" + name;
}

void require_sandbox()
{
    if (!inside_sandbox() || !file_exists("/usr/lib/cups/filter/velokit-filter"))
        FAIL() << "this test must run inside tools/sandbox (as ctest runs it)";
}

static private_scheduler *running = nullptr;

void scheduler_start(const std::vector<std::string> &setenv)
{
    if (running != nullptr)
        throw std::logic_error("the private cupsd is already running");
    auto *s = new private_scheduler;
    s->dir = make_test_dir("cupsd");
    s->socket = s->dir + "/cups.sock";
    std::vector<std::string> args = {tool_path("scheduler"), "start", s->dir};
    args.insert(args.end(), setenv.begin(), setenv.end());
    process_result r = process_run({args});
    if (r.status != 0)
        throw std::runtime_error("private cupsd did not start: " + r.err);
    ::setenv("CUPS_SERVER", s->socket.c_str(), 1);
    running = s;
    std::atexit(scheduler_stop);
}

const private_scheduler &scheduler()
{
    if (running == nullptr)
        scheduler_start({});
    return *running;
}

void scheduler_stop()
{
    if (running != nullptr)
        process_run({{tool_path("scheduler"), "stop", running->dir}});
    delete running;
    running = nullptr;
}

void scheduler_add_queue(const std::string &queue, const std::string &text,
                         const std::string &device_uri)
{
    const private_scheduler &s = scheduler();
    std::string ppd = s.dir + "/" + queue + ".ppd";
    write_file(ppd, text);
    process_result r =
        process_run({{"/usr/sbin/lpadmin", "-p", queue, "-E", "-v", device_uri, "-P", ppd},
                     "",
                     {"CUPS_SERVER=" + s.socket}});
    if (r.status != 0)
        throw std::runtime_error("lpadmin failed for " + queue + ": " + r.err);
}

static std::string ppd_option(const std::string &keyword, const std::string &def,
                              const std::vector<std::string> &choices)
{
    std::string text = "*OpenUI *" + keyword + ": PickOne\n";
    if (!def.empty())
        text += "*Default" + keyword + ": " + def + "\n";
    for (const auto &c : choices)
        text += "*" + keyword + " " + c + ": \"\"\n";
    return text + "*CloseUI: *" + keyword + "\n";
}

std::string ppd_text(const test_ppd &ppd)
{
    std::string text = "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n"
                       "*LanguageVersion: English\n*LanguageEncoding: ISOLatin1\n"
                       "*PCFileName: \"VELOTEST.PPD\"\n*Manufacturer: \"ORVEX\"\n"
                       "*Product: \"(Velokit)\"\n*NickName: \"ORVEX test\"\n"
                       "*ShortNickName: \"ORVEX test\"\n";
    if (!ppd.model.empty())
        text += "*ModelName: \"" + ppd.model + "\"\n";
    if (ppd.runs_filter)
        text += "*cupsFilter: \"application/vnd.cups-raster 0 rastertovelokit\"\n";
    if (ppd.page_size)
        text += ppd_option("PageSize", ppd.default_page_size, {"A4", "Letter", "Legal"});
    if (ppd.ink)
        text += ppd_option("Ink", ppd.default_ink, {"COLOR", "MONO"});
    if (ppd.quality)
        text += ppd_option("Quality", ppd.default_quality, {"DRAFT", "NORMAL", "PHOTO"});
    return text;
}

mute_scheduler::mute_scheduler()
{
    path = make_test_dir("mute") + "/cups.sock";
    listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof(address.sun_path) - 1);
    EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    EXPECT_EQ(listen(listener, 4), 0);
}

mute_scheduler::~mute_scheduler()
{
    close(peer);
    close(listener);
}

bool mute_scheduler::request_pending()
{
    if (peer < 0)
        peer = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    char buffer[4096];
    return peer >= 0 && recv(peer, buffer, sizeof(buffer), 0) > 0;
}
