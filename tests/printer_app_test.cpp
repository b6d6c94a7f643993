// velokit-printer-app end to end, in the sandbox: the real server on a
// loopback port, its own clients, ipptool's peer the private CUPS scheduler,
// the simulated converter in page mode and the simulated control daemon.
#include <gtest/gtest.h>
#include <pwd.h>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "control_daemon.h"
#include "print_job.h"
#include "printer_app.h"
#include "sandbox.h"

namespace
{

constexpr int app_port = 8631;
const std::string sim_dir = "/run/velokit-sim";
const std::string fault_log = "/run/velokit-app-fault.log";

struct app_documents {
    std::string pdf, pwg_rgb_300, pwg_gray_150, jpeg;
    std::string pwg_rgb_8; // 8 bits a colour, as PWG raster's srgb_8
};
app_documents docs;
app_server server;

std::string gs_render(const std::string &dir, const std::string &name,
                      const std::vector<std::string> &device)
{
    std::string out = dir + "/" + name;
    std::vector<std::string> argv = {"/usr/bin/gs",
                                     "-q",
                                     "-dNOPAUSE",
                                     "-dBATCH",
                                     "-dSAFER",
                                     "-dDEVICEWIDTHPOINTS=595",
                                     "-dDEVICEHEIGHTPOINTS=842"};
    argv.insert(argv.end(), device.begin(), device.end());
    argv.insert(argv.end(), {"-sOutputFile=" + out, docs.pdf});
    process_result r = process_run({argv});
    if (r.status != 0)
        throw std::runtime_error("gs could not make " + name + ": " + r.err);
    return out;
}

void clear_simulator()
{
    for (const char *name : {"argv", "pid", "ids", "child.pid", "output", "pages", "done", "stdin"})
        unlink((sim_dir + "/" + name).c_str());
}

std::vector<std::string> converter_words()
{
    std::vector<std::string> argv;
    std::istringstream in(read_file(sim_dir + "/argv"));
    for (std::string word; std::getline(in, word);)
        argv.push_back(word);
    return argv;
}

// Pixels of a side of the PPD's imageable area at dpi, as renderers round them.
bool near_pixels(const std::string &text, int points, int dpi)
{
    long expected = static_cast<long>(points) * dpi / 72;
    long got = std::atol(text.c_str());
    return got >= expected - 1 && got <= expected + 1;
}

class PrinterApp : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        ASSERT_NO_FATAL_FAILURE(require_sandbox());
        std::string dir = make_test_dir("app");
        docs.pdf = make_sample_pdf(dir);
        docs.pwg_rgb_300 =
            gs_render(dir, "rgb300.pwg", {"-sDEVICE=pwgraster", "-r300", "-dcupsColorSpace=19"});
        docs.pwg_gray_150 =
            gs_render(dir, "gray150.pwg", {"-sDEVICE=pwgraster", "-r150", "-dcupsColorSpace=18"});
        docs.pwg_rgb_8 = gs_render(
            dir, "rgb8.pwg",
            {"-sDEVICE=pwgraster", "-r150", "-dcupsColorSpace=19", "-dcupsBitsPerColor=8"});
        docs.jpeg = gs_render(dir, "photo.jpg", {"-sDEVICE=jpeg", "-r40", "-dLastPage=1"});
        // The converter runs as lp and records there.
        ASSERT_EQ(mkdir(sim_dir.c_str(), 0777) == 0 || errno == EEXIST, true);
        chmod(sim_dir.c_str(), 0777);
        set_port_files({0, 1, 2, 3});
        // Port 2 refuses every write; port 3 is busy for its first two opens.
        ASSERT_EQ(process_run({{"/bin/mount", "-n", "--bind", "/dev/full", port_file(2)}}).status,
                  0);
        server =
            app_start(app_port, dir + "/server.log",
                      {"VELOKIT_SIM_MODE=page", "LD_PRELOAD=" VELOKIT_FAULT_SHIM,
                       "FAULT_PORT=" + port_file(3), "FAULT_BUSY=2", "FAULT_LOG=" + fault_log});
    }
};

// What ipptool reads of the printer: its attributes, and the system's
// list of printers.
std::string printer_seen(const std::string &name)
{
    const std::string base = "ipp://127.0.0.1:" + std::to_string(app_port),
                      file = "/run/system.test";
    write_file(file,
               "{ OPERATION Get-System-Attributes GROUP operation-attributes-tag ATTR charset "
               "attributes-charset utf-8 ATTR naturalLanguage attributes-natural-language en "
               "ATTR uri system-uri $uri STATUS successful-ok DISPLAY "
               "system-configured-printers }\n");
    return process_run({{"/usr/bin/ipptool", "-tv", base + "/ipp/print/" + name,
                         "get-printer-attributes.test"}})
               .out +
           process_run({{"/usr/bin/ipptool", "-t", base + "/ipp/system", file}}).out;
}

TEST_F(PrinterApp, ListsThePortsAndAddsPrintersOnThemOnly)
{
    process_result devices = app_run({"devices"});
    EXPECT_EQ(devices.out, "velokitlp:/var/run/velokitlp0\nvelokitlp:/var/run/velokitlp1\n"
                           "velokitlp:/var/run/velokitlp2\nvelokitlp:/var/run/velokitlp3\n");
    for (int port : {0, 2, 3}) {
        std::string name = "p" + std::to_string(port);
        process_result r =
            app_run({"add", "-d", name, "-m", "orvex_v1", "-v", "velokitlp:" + port_file(port),
                     "-o", "printer-geo-location=geo:46.5,6.6"});
        EXPECT_EQ(r.status, 0) << r.err;
        // Whole at once: its own number, as the system lists it, and the
        // settings given.
        std::string seen = printer_seen(name);
        std::smatch own, listed;
        ASSERT_TRUE(
            std::regex_search(seen, own, std::regex("printer-id \\(integer\\) = ([0-9]+)")));
        ASSERT_TRUE(std::regex_search(
            seen, listed, std::regex("printer-id=([0-9]+) printer-info=" + name + " ")));
        EXPECT_EQ(own[1], listed[1]) << seen;
        EXPECT_NE(own[1], "0");
        EXPECT_NE(seen.find("printer-geo-location (uri) = geo:46.5,6.6"), std::string::npos);
    }
    for (const char *uri : {"velokitlp:/etc/passwd", "velokitlp:/var/run/velokitlp0/../x",
                            "velokitlp:/tmp/velokitlp1"}) {
        process_result r = app_run({"add", "-d", "bad", "-m", "orvex_v2", "-v", uri});
        EXPECT_NE(r.status, 0) << uri;
    }
    EXPECT_EQ(app_run({"printers"}).out, "p0\np2\np3\n");
}

struct print_case {
    const char *name;
    const std::string *document;
    std::vector<std::string> options;
    const char *ink, *media, *quality;
    int dpi, pages;
    bool by_ipptool = false; // an IPP Print-Job from ipptool instead of submit
};

TEST_F(PrinterApp, PrintsEveryFormatWithTheFiltersCommandLine)
{
    const print_case cases[] = {
        {"PWG raster in colour", &docs.pwg_rgb_300, {}, "COLOR", "A4", "NORMAL", 300, 2},
        {"PWG raster in gray",
         &docs.pwg_gray_150,
         {"print-color-mode=monochrome", "print-quality=draft"},
         "MONO",
         "A4",
         "DRAFT",
         150,
         2},
        {"JPEG, monochrome, high",
         &docs.jpeg,
         {"print-color-mode=monochrome", "print-quality=high"},
         "MONO",
         "A4",
         "PHOTO",
         600,
         1},
        {"PDF, draft", &docs.pdf, {"print-quality=draft"}, "COLOR", "A4", "DRAFT", 150, 2},
        {"PDF, monochrome, Letter",
         &docs.pdf,
         {"print-color-mode=monochrome", "media=na_letter_8.5x11in"},
         "MONO",
         "Letter",
         "NORMAL",
         300,
         2},
        {"PDF from ipptool, monochrome, draft",
         &docs.pdf,
         {"print-color-mode=monochrome", "print-quality=3"},
         "MONO",
         "A4",
         "DRAFT",
         150,
         2,
         true},
    };
    const std::string printer_uri = "ipp://127.0.0.1:" + std::to_string(app_port) + "/ipp/print/p0";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        clear_simulator();
        int job = c.by_ipptool ? ipp_submit(printer_uri, *c.document, c.options)
                               : app_submit("p0", *c.document, c.options);
        ASSERT_GT(job, 0);
        EXPECT_EQ(app_wait_job("p0", job, 60000), "completed") << read_file(server.log);
        std::vector<std::string> argv = converter_words();
        ASSERT_EQ(argv.size(), 10u) << read_file(sim_dir + "/argv");
        EXPECT_EQ(argv[0], "/usr/lib/cups/filter/velokit-filter");
        EXPECT_EQ(argv[1] + " " + argv[2] + " " + argv[3] + " " + argv[4],
                  "ORVEX Inkjet Printer V1");
        // The area of the PPD's *ImageableArea, as the classic driver's
        // renderer gives it: "9 14 586 833" for A4, "9 14 603 783" for Letter.
        int width = std::string(c.media) == "A4" ? 577 : 594;
        int length = std::string(c.media) == "A4" ? 819 : 769;
        EXPECT_TRUE(near_pixels(argv[5], width, c.dpi)) << argv[5];
        EXPECT_TRUE(near_pixels(argv[6], length, c.dpi)) << argv[6];
        EXPECT_EQ(argv[7] + " " + argv[8] + " " + argv[9],
                  std::string(c.ink) + " " + c.media + " " + c.quality);
        // Never root: user and group lp, no supplementary groups.
        const passwd *lp = getpwnam("lp");
        ASSERT_NE(lp, nullptr);
        EXPECT_EQ(read_file(sim_dir + "/ids"),
                  std::to_string(lp->pw_uid) + " " + std::to_string(lp->pw_gid) + " 0\n");
        // Every row of every page arrived whole, and the port holds exactly
        // what the converter wrote.
        EXPECT_EQ(read_file(sim_dir + "/pages"), "pages " + std::to_string(c.pages) + "\nrows " +
                                                     std::to_string(c.pages * std::stol(argv[6])) +
                                                     "\nleft 0\n");
        std::string output = read_file(sim_dir + "/output");
        EXPECT_FALSE(output.empty());
        EXPECT_TRUE(wait_until([&] { return read_file(port_file(0)) == output; }, 5000));
        write_file(port_file(0), "");
    }
}

TEST_F(PrinterApp, APortThatRefusesWritesAbortsTheJob)
{
    clear_simulator();
    int job = app_submit("p2", docs.pdf, {"print-quality=draft"});
    ASSERT_GT(job, 0);
    EXPECT_EQ(app_wait_job("p2", job, 60000), "aborted");
    EXPECT_TRUE(file_exists(sim_dir + "/output"));
}

TEST_F(PrinterApp, ABusyPortDelaysTheJobThenPrints)
{
    clear_simulator();
    int job = app_submit("p3", docs.pdf, {"print-quality=draft"});
    ASSERT_GT(job, 0);
    EXPECT_EQ(app_wait_job("p3", job, 60000), "completed");
    // Two busy opens, each followed by 30 seconds of waiting (the shim only
    // records the sleeps), then the open that prints.
    std::istringstream log(read_file(fault_log));
    int busy = 0, opened = 0, slept = 0;
    for (std::string event, a, b; log >> event >> a;) {
        if (event == "open" && log >> b)
            (b == "-16" ? busy : opened)++;
        else if (event == "sleep")
            slept += std::stoi(a);
        else if (event == "write")
            log >> b;
    }
    EXPECT_EQ(busy, 2);
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(slept, 60);
    std::string output = read_file(sim_dir + "/output");
    EXPECT_FALSE(output.empty());
    EXPECT_TRUE(wait_until([&] { return read_file(port_file(3)) == output; }, 5000));
}

// The road of every client on another machine: a CUPS queue made
// driverlessly on the app's printer.
TEST_F(PrinterApp, ADriverlessCupsQueuePrintsThroughIt)
{
    const private_scheduler &cups = scheduler();
    std::string uri = "ipp://127.0.0.1:" + std::to_string(app_port) + "/ipp/print/p0";
    process_result r =
        process_run({{"/usr/sbin/lpadmin", "-p", "orvex", "-E", "-v", uri, "-m", "everywhere"}});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(wait_for_file(cups.dir + "/etc/ppd/orvex.ppd", 20000));
    clear_simulator();
    write_file(port_file(0), "");
    ASSERT_GT(lp_submit("orvex", docs.pdf, {"print-color-mode=monochrome", "print-quality=3"}), 0);
    ASSERT_TRUE(wait_for_file(sim_dir + "/done", 60000)) << read_file(server.log);
    std::vector<std::string> argv = converter_words();
    ASSERT_EQ(argv.size(), 10u);
    EXPECT_EQ(argv[7] + " " + argv[9], "MONO DRAFT");
    std::string output = read_file(sim_dir + "/output");
    EXPECT_TRUE(wait_until([&] { return read_file(port_file(0)) == output; }, 10000));
}

// Jobs as the server started them, from its log.
std::vector<int> started_jobs()
{
    std::vector<int> ids;
    std::istringstream log(read_file(server.log));
    for (std::string line; std::getline(log, line);) {
        std::size_t at = line.find("[Job ");
        if (at != std::string::npos && line.find("] Starting print job.") != std::string::npos)
            ids.push_back(std::atoi(line.c_str() + at + 5));
    }
    return ids;
}

// The converter of the next job waits, reading nothing, until let_converter_go.
void hold_converter()
{
    clear_simulator();
    unlink((sim_dir + "/go").c_str());
    write_file(sim_dir + "/mode", "wait");
}

void let_converter_go()
{
    unlink((sim_dir + "/mode").c_str());
    write_file(sim_dir + "/go", "");
}

std::string printer_reasons()
{
    return ipp_printer_attribute("ipp://127.0.0.1:" + std::to_string(app_port) + "/ipp/print/p0",
                                 "printer-state-reasons");
}

bool shows_offline()
{
    std::string reasons = "," + printer_reasons() + ",";
    return reasons.find(",offline,") != std::string::npos;
}

// A raster cut at half its length, and one whose first page announces twice
// the rows it has.
std::string short_raster(const std::string &name, bool over_announced)
{
    std::string data = read_file(docs.pwg_gray_150);
    if (over_announced) {
        // cupsHeight, big-endian, after the sync word and 376 bytes of header.
        unsigned char *h = reinterpret_cast<unsigned char *>(&data[4 + 376]);
        unsigned height = (h[0] << 24 | h[1] << 16 | h[2] << 8 | h[3]) * 2;
        for (int i = 0; i < 4; i++)
            h[i] = static_cast<unsigned char>(height >> (24 - 8 * i));
    } else {
        data.resize(data.size() / 2);
    }
    std::string path = sim_dir + "-" + name + ".pwg";
    write_file(path, data);
    return path;
}

// Typed as PDF, and larger than the 4 KiB spool of the "spool full" row.
std::string large_pdf()
{
    std::string path = sim_dir + "-large.pdf";
    write_file(path, "%PDF-1.4\n" + std::string(65536, ' '));
    return path;
}

// Six jobs behind one that prints, raster among them, one from another IPP
// client: each waits its turn and they print in the order the server took
// them.
TEST_F(PrinterApp, QueuedJobsPrintInTheOrderAccepted)
{
    hold_converter();
    std::vector<int> jobs = {app_submit("p0", docs.pdf, {"print-quality=draft"})};
    ASSERT_TRUE(wait_for_file(sim_dir + "/pid", 30000)) << read_file(server.log);
    for (const std::string *doc :
         {&docs.pwg_gray_150, &docs.pdf, &docs.jpeg, &docs.pwg_rgb_8, &docs.pwg_gray_150}) {
        jobs.push_back(app_submit("p0", *doc, {"print-quality=draft"}));
        ASSERT_GT(jobs.back(), 0) << *doc;
    }
    // Raster from a client other than submit, as PAPPL would print it at once.
    jobs.push_back(ipp_submit("ipp://127.0.0.1:" + std::to_string(app_port) + "/ipp/print/p0",
                              docs.pwg_rgb_8, {"document-format=image/pwg-raster"}));
    ASSERT_GT(jobs.back(), 0) << read_file(server.log);
    let_converter_go();
    for (int job : jobs)
        EXPECT_EQ(app_wait_job("p0", job, 60000), "completed") << job;
    std::vector<int> started = started_jobs();
    std::vector<int> tail(started.end() - static_cast<long>(jobs.size()), started.end());
    EXPECT_EQ(tail, jobs);
    write_file(port_file(0), "");
}

struct failure_case {
    const char *name;
    const char *converter_mode; // nullptr: the simulator's page mode
    std::string document;
    const char *message;
    bool spool_full = false;
};

// A job the server refuses or aborts while it arrives: submit says why and
// fails, and no job that did not print whole is completed.
TEST_F(PrinterApp, SubmitSaysWhyAJobFailed)
{
    const failure_case cases[] = {
        {"spool full", nullptr, large_pdf(), "No space left on device", true},
        {"raster cut short", nullptr, short_raster("cut", false), "ended after"},
        {"raster announcing more rows than it has", nullptr, short_raster("over", true),
         "ended after"},
        {"converter killed by a signal", "crash:65536", docs.pwg_gray_150,
         "velokit-filter was killed by signal 11."},
        {"converter exiting with a status", "status:3", docs.pwg_gray_150,
         "velokit-filter exited with status 3."},
    };
    const std::string spool = "/var/spool/velokit-printer-app";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        clear_simulator();
        if (c.converter_mode != nullptr)
            write_file(sim_dir + "/mode", c.converter_mode);
        if (c.spool_full) {
            process_result m =
                process_run({{"/bin/mount", "-n", "-t", "tmpfs", "-o", "size=4k", "tmpfs", spool}});
            ASSERT_EQ(m.status, 0) << m.err;
        }
        process_result r = app_run({"submit", "-d", "p0", c.document});
        if (c.spool_full)
            process_run({{"/bin/umount", "-n", spool}});
        unlink((sim_dir + "/mode").c_str());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    write_file(port_file(0), "");
}

// A converter that takes nothing, and a missing port, show on the printer
// as "offline" until they are over.
TEST_F(PrinterApp, APrinterThatTakesNoDataShowsOffline)
{
    hold_converter();
    int job = app_submit("p0", docs.pdf, {"print-quality=draft"});
    ASSERT_GT(job, 0);
    EXPECT_TRUE(wait_until([] { return shows_offline(); }, 35000));
    let_converter_go();
    EXPECT_TRUE(wait_until([] { return !shows_offline(); }, 5000));
    EXPECT_EQ(app_wait_job("p0", job, 30000), "completed");

    unlink(port_file(0).c_str());
    EXPECT_TRUE(wait_until([] { return shows_offline(); }, 7000));
    write_file(port_file(0), "");
    EXPECT_TRUE(wait_until([] { return printer_reasons() == "none"; }, 7000));
}

// A paused printer starts nothing, raster included, until it is resumed.
TEST_F(PrinterApp, APausedPrinterStartsNothing)
{
    // A raster PAPPL prints while it arrives (here from its own IPP client),
    // then spooled jobs.
    const std::string uri = "ipp://127.0.0.1:" + std::to_string(app_port) + "/ipp/print/p0";
    using submits = std::vector<std::vector<std::string>>;
    const submits rounds[] = {{{"-u", uri, docs.pwg_rgb_8}},
                              {{"-d", "p0", docs.pwg_gray_150}, {"-d", "p0", docs.pdf}}};
    for (const submits &round : rounds) {
        clear_simulator();
        ASSERT_EQ(app_run({"pause", "-d", "p0"}).status, 0);
        std::vector<running_process> clients;
        for (const auto &args : round) {
            std::vector<std::string> argv = {printer_app_binary, "submit"};
            argv.insert(argv.end(), args.begin(), args.end());
            clients.push_back(process_start({argv, "", app_env({}), "", -1, 60000}));
        }
        EXPECT_FALSE(wait_for_file(sim_dir + "/pid", 3000));
        ASSERT_EQ(app_run({"resume", "-d", "p0"}).status, 0);
        // "p0-N" from submit -d, "N" from submit -u.
        for (auto &client : clients) {
            process_result r = process_finish(client);
            EXPECT_EQ(r.status, 0) << r.err;
            std::size_t dash = r.out.find('-');
            int job = std::atoi(r.out.c_str() + (dash == std::string::npos ? 0 : dash + 1));
            EXPECT_EQ(app_wait_job("p0", job, 60000), "completed") << r.out;
        }
    }
    write_file(port_file(0), "");
}

// Last: the server restarts with a converter that stops reading, so that a
// job can be cancelled while it prints.
TEST_F(PrinterApp, PrintersSurviveARestartAndACancelLeavesNothing)
{
    ASSERT_TRUE(app_stop(server));
    server = app_start(
        app_port, server.log,
        {"VELOKIT_SIM_MODE=stall", "VELOKIT_SIM_STALL_BYTES=65536", "VELOKIT_SIM_SPAWN=1"});
    EXPECT_EQ(app_run({"printers"}).out, "p0\np2\np3\n");
    EXPECT_NE(app_run({"jobs", "-d", "p0"}).out.find(" completed "), std::string::npos);

    // Two jobs print at once, on two printers; the cancel of one never
    // reaches the other's converter.
    control_daemon daemon = daemon_start("payload");
    std::vector<int> jobs;
    std::vector<pid_t> converters, children;
    for (const char *printer : {"p3", "p0"}) {
        clear_simulator();
        jobs.push_back(app_submit(printer, docs.pdf, {"print-quality=high"}));
        ASSERT_GT(jobs.back(), 0);
        ASSERT_TRUE(wait_for_file(sim_dir + "/child.pid", 30000));
        converters.push_back(read_pid(sim_dir + "/pid"));
        children.push_back(read_pid(sim_dir + "/child.pid"));
    }
    EXPECT_EQ(app_run({"cancel", "-d", "p0", "-j", std::to_string(jobs[1])}).status, 0);
    EXPECT_TRUE(wait_until([&] { return daemon_received(daemon) == cancel_packet; }, 1000));
    EXPECT_TRUE(
        wait_until([&] { return process_gone(converters[1]) && process_gone(children[1]); }, 1000));
    EXPECT_EQ(app_wait_job("p0", jobs[1], 10000), "canceled");
    EXPECT_FALSE(process_gone(converters[0]) || process_gone(children[0]));
    EXPECT_EQ(app_job_state("p3", jobs[0]), "processing");

    EXPECT_EQ(app_run({"cancel", "-d", "p3", "-j", std::to_string(jobs[0])}).status, 0);
    EXPECT_TRUE(
        wait_until([&] { return daemon_received(daemon) == cancel_packet + cancel_packet; }, 1000));
    EXPECT_EQ(app_wait_job("p3", jobs[0], 10000), "canceled");
    EXPECT_TRUE(wait_until([] { return job_processes().empty(); }, 5000));
    daemon_stop(daemon);
    EXPECT_TRUE(app_stop(server));
}

} // namespace
