// The installed driver under the real scheduler: discovery of the port
// files, the models, queues made from them and what they tell IPP clients,
// PDF jobs from lp and from IPP Print-Job requests through pdftopdf,
// gstoraster, rastertovelokit, the simulated converter in page mode and
// velokitlp to a port file, and jobs whose port refuses the data.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cups/ppd.h>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "filter_run.h"
#include "print_job.h"
#include "sandbox.h"

namespace
{

// Made once the suite knows it runs in the sandbox, never on the real /run.
std::string sim_dir;
// The PPD files a user gets from the build for lpadmin -P; never installed.
const std::string built_ppds = VELOKIT_PPD_BUILD_DIR "/";

class InstalledDriver : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        require_sandbox();
        if (HasFatalFailure())
            return;
        sim_dir = make_test_dir("sim");
        scheduler_start({"VELOKIT_SIM_DIR=" + sim_dir, "VELOKIT_SIM_MODE=page"});
        sample_pdf = make_sample_pdf(make_test_dir("doc"));
    }
    void SetUp() override
    {
        require_sandbox();
    }
    static inline std::string sample_pdf;
};

std::vector<std::string> output_lines(const std::vector<std::string> &argv,
                                      const std::string &containing)
{
    std::vector<std::string> found;
    std::istringstream in(process_run({argv}).out);
    for (std::string line; std::getline(in, line);) {
        if (line.find(containing) != std::string::npos)
            found.push_back(line);
    }
    return found;
}

TEST_F(InstalledDriver, DiscoveryListsExactlyTheWritablePorts)
{
    struct discovery_case {
        const char *name;
        std::vector<int> ports;
        int read_only; // a port bind-mounted read-only, or -1
        std::vector<std::string> listed;
    };
    const discovery_case cases[] = {
        {"no port", {}, -1, {}},
        {"ports 0 and 1",
         {0, 1},
         -1,
         {"file velokitlp:/var/run/velokitlp0", "file velokitlp:/var/run/velokitlp1"}},
        {"port 1 missing", {0, 2}, -1, {"file velokitlp:/var/run/velokitlp0"}},
        {"port 1 read-only", {0, 1, 2}, 1, {"file velokitlp:/var/run/velokitlp0"}},
        {"port 0 read-only", {0, 1}, 0, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        set_port_files(c.ports);
        if (c.read_only >= 0) {
            std::string port = port_file(c.read_only);
            ASSERT_EQ(process_run({{"/bin/mount", "-n", "--bind", port, port}}).status, 0);
            ASSERT_EQ(process_run({{"/bin/mount", "-n", "-o", "remount,bind,ro", port}}).status, 0);
        }
        EXPECT_EQ(output_lines({"/usr/sbin/lpinfo", "-v"}, "velokitlp:"), c.listed);
    }
    set_port_files({});
}

TEST_F(InstalledDriver, SchedulerListsEachModelOnce)
{
    std::vector<std::string> models = output_lines({"/usr/sbin/lpinfo", "-m"}, "ORVEX");
    EXPECT_EQ(models, (std::vector<std::string>{
                          "drv:///velokit.drv/orvexv1.ppd ORVEX Inkjet Printer V1, Velokit",
                          "drv:///velokit.drv/orvexv2.ppd ORVEX Inkjet Printer V2, Velokit",
                          "drv:///velokit.drv/orvexv3.ppd ORVEX Inkjet Printer V3 Photo, Velokit",
                      }));
    // The cups package's updater picks the models by DRIVER_REGEXP and matches
    // queues to them by the nickname that GENNICKNAME_REGEXP leaves.
    process_result updater =
        process_run({{"/bin/sh", "-c",
                      ". \"$0\" && /usr/sbin/lpinfo -m | grep -E \"$DRIVER_REGEXP\" | perl -pe "
                      "\"$GENNICKNAME_REGEXP\"",
                      "/usr/share/cups/ppd-updaters/printer-driver-velokit.ppd-updater"}});
    EXPECT_EQ(updater.out, "drv:///velokit.drv/orvexv1.ppd ORVEX Inkjet Printer V1\n"
                           "drv:///velokit.drv/orvexv2.ppd ORVEX Inkjet Printer V2\n"
                           "drv:///velokit.drv/orvexv3.ppd ORVEX Inkjet Printer V3 Photo\n")
        << updater.err;
}

// The printable area of a media size at a quality, in pixels, as the PPD
// describes it.
struct page_pixels {
    double width = 0, height = 0;
};

page_pixels expected_pixels(const std::string &ppd_file, const std::string &media,
                            const std::string &quality)
{
    page_pixels pixels;
    ppd_file_t *ppd = ppdOpenFile((built_ppds + ppd_file).c_str());
    if (ppd == nullptr)
        return pixels;
    ppd_size_t *size = ppdPageSize(ppd, media.c_str());
    ppd_choice_t *choice = ppdFindChoice(ppdFindOption(ppd, "Quality"), quality.c_str());
    int x_dpi = 0, y_dpi = 0;
    if (size != nullptr && choice != nullptr && choice->code != nullptr) {
        const char *resolution = std::strstr(choice->code, "HWResolution[");
        if (resolution != nullptr &&
            std::sscanf(resolution, "HWResolution[%d %d]", &x_dpi, &y_dpi) == 2) {
            pixels.width = (size->right - size->left) * x_dpi / 72.0;
            pixels.height = (size->top - size->bottom) * y_dpi / 72.0;
        }
    }
    ppdClose(ppd);
    return pixels;
}

void clear_simulator()
{
    for (const char *name : {"argv", "output", "pages", "done", "pid"})
        unlink((sim_dir + "/" + name).c_str());
}

TEST_F(InstalledDriver, DocumentsPrintWithTheirSettingsToThePort)
{
    add_driver_queue("v1", {"-m", "drv:///velokit.drv/orvexv1.ppd"},
                     "velokitlp:/var/run/velokitlp0");
    add_driver_queue("v2", {"-m", "drv:///velokit.drv/orvexv2.ppd"},
                     "velokitlp:/var/run/velokitlp0");
    add_driver_queue("v3", {"-P", built_ppds + "orvexv3.ppd"}, "velokitlp:/var/run/velokitlp0");
    EXPECT_EQ(output_lines({"/usr/bin/lpstat", "-v", "v3"}, "device for v3"),
              (std::vector<std::string>{"device for v3: velokitlp:/var/run/velokitlp0"}));
    // Queue defaults: the driver's own option, and the IPP ones clients see.
    for (const auto &[queue, defaults] :
         {std::pair<std::string, std::vector<std::string>>{"v1mono", {"Ink-default=MONO"}},
          {"v1ipp", {"print-color-mode-default=monochrome", "print-quality-default=3"}}}) {
        add_driver_queue(queue, {"-m", "drv:///velokit.drv/orvexv1.ppd"},
                         "velokitlp:/var/run/velokitlp0");
        for (const auto &d : defaults)
            ASSERT_EQ(process_run({{"/usr/sbin/lpadmin", "-p", queue, "-o", d}}).status, 0) << d;
    }

    struct print_case {
        const char *name;
        std::string queue, ppd, document;
        int pages;
        std::vector<std::string> options;
        std::string ink, media, quality;
        bool ipp_request = false; // an IPP Print-Job from ipptool, not lp
    };
    const std::string test_page = "/usr/share/cups/data/default-testpage.pdf";
    const print_case cases[] = {
        {"V1 defaults, the CUPS test page",
         "v1",
         "orvexv1.ppd",
         test_page,
         1,
         {},
         "COLOR",
         "A4",
         "NORMAL"},
        {"V2, every option given",
         "v2",
         "orvexv2.ppd",
         sample_pdf,
         2,
         {"PageSize=4x6", "Ink=MONO", "Quality=DRAFT"},
         "MONO",
         "4x6",
         "DRAFT"},
        {"V2 default size",
         "v2",
         "orvexv2.ppd",
         sample_pdf,
         2,
         {"Ink=MONO"},
         "MONO",
         "Letter",
         "NORMAL"},
        {"V3 from the PPD file",
         "v3",
         "orvexv3.ppd",
         sample_pdf,
         2,
         {"PageSize=Legal", "Quality=DRAFT"},
         "COLOR",
         "Legal",
         "DRAFT"},
        {"media instead of PageSize",
         "v1",
         "orvexv1.ppd",
         sample_pdf,
         2,
         {"media=A5", "Quality=PHOTO", "Ink=MONO"},
         "MONO",
         "A5",
         "PHOTO"},
        // IPP colour modes and qualities reach the converter through the
        // driver description's presets.
        // clang-format off
        {"monochrome, draft", "v1", "orvexv1.ppd", test_page, 1, {"print-color-mode=monochrome", "print-quality=3"}, "MONO", "A4", "DRAFT"},
        {"monochrome, normal", "v1", "orvexv1.ppd", test_page, 1, {"print-color-mode=monochrome", "print-quality=4"}, "MONO", "A4", "NORMAL"},
        {"monochrome, high", "v1", "orvexv1.ppd", test_page, 1, {"print-color-mode=monochrome", "print-quality=5"}, "MONO", "A4", "PHOTO"},
        {"color, draft", "v1", "orvexv1.ppd", test_page, 1, {"print-color-mode=color", "print-quality=3"}, "COLOR", "A4", "DRAFT"},
        {"color, normal", "v1", "orvexv1.ppd", test_page, 1, {"print-color-mode=color", "print-quality=4"}, "COLOR", "A4", "NORMAL"},
        {"color, high", "v1", "orvexv1.ppd", test_page, 1, {"print-color-mode=color", "print-quality=5"}, "COLOR", "A4", "PHOTO"},
        {"IPP Print-Job, monochrome, high", "v1", "orvexv1.ppd", test_page, 1, {"print-color-mode=monochrome", "print-quality=5"}, "MONO", "A4", "PHOTO", true},
        {"Ink named in the job wins", "v1", "orvexv1.ppd", test_page, 1, {"Ink=COLOR", "print-color-mode=monochrome"}, "COLOR", "A4", "NORMAL"},
        {"queue default Ink-default=MONO", "v1mono", "orvexv1.ppd", test_page, 1, {}, "MONO", "A4", "NORMAL"},
        {"queue's IPP defaults monochrome, draft", "v1ipp", "orvexv1.ppd", test_page, 1, {}, "MONO", "A4", "DRAFT"},
        // clang-format on
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        set_port_files({0});
        clear_simulator();
        int job = c.ipp_request ? ipp_submit(c.queue, c.document, c.options)
                                : lp_submit(c.queue, c.document, c.options);
        ASSERT_GT(job, 0);
        EXPECT_TRUE(wait_for_file(sim_dir + "/done", 60000)) << "the converter never finished";
        job_state state = job_state_wait(job, 60000);
        EXPECT_EQ(state.state, "completed") << state.reasons << " " << state.message;

        std::vector<std::string> argv;
        std::istringstream args(read_file(sim_dir + "/argv"));
        for (std::string word; std::getline(args, word);)
            argv.push_back(word);
        std::vector<std::string> model = words(c.queue == "v3"   ? "ORVEX Inkjet Printer V3 Photo"
                                               : c.queue == "v2" ? "ORVEX Inkjet Printer V2"
                                                                 : "ORVEX Inkjet Printer V1");
        ASSERT_EQ(argv.size(), 1 + model.size() + 5) << read_file(sim_dir + "/argv");
        EXPECT_EQ(std::vector<std::string>(argv.begin() + 1, argv.begin() + 1 + model.size()),
                  model);
        std::vector<std::string> settings(argv.end() - 3, argv.end());
        EXPECT_EQ(settings, (std::vector<std::string>{c.ink, c.media, c.quality}));

        // The first page's size follows from the PPD's printable area and the
        // quality's resolution; the rasterizer rounds each edge to a pixel.
        page_pixels pixels = expected_pixels(c.ppd, c.media, c.quality);
        long width = std::atol(argv[argv.size() - 5].c_str());
        long height = std::atol(argv[argv.size() - 4].c_str());
        EXPECT_NEAR(width, pixels.width, 1.0);
        EXPECT_NEAR(height, pixels.height, 1.0);

        // Every row arrived, in the layout the ink implies: whole pages and
        // nothing left over.
        EXPECT_EQ(read_file(sim_dir + "/pages"), "pages " + std::to_string(c.pages) + "\nrows " +
                                                     std::to_string(c.pages * height) +
                                                     "\nleft 0\n");
        std::string port = read_file(port_file(0));
        EXPECT_FALSE(port.empty());
        EXPECT_TRUE(port == read_file(sim_dir + "/output"))
            << "the port holds " << port.size() << " bytes, not what the converter wrote";
    }
}

TEST_F(InstalledDriver, QueuesTellIppClientsTheirColorModesAndQualities)
{
    add_driver_queue("attrs", {"-m", "drv:///velokit.drv/orvexv2.ppd"},
                     "velokitlp:/var/run/velokitlp0");
    const std::pair<std::string, std::string> attributes[] = {
        {"print-quality-supported", "draft,normal,high"},
        {"print-quality-default", "normal"},
        {"print-color-mode-supported", "monochrome,color"},
        {"print-color-mode-default", "color"},
    };
    for (const auto &[name, value] : attributes)
        EXPECT_EQ(ipp_printer_attribute("attrs", name), value) << name;
}

// The scheduler drops LD_PRELOAD from the environment of the programs it
// runs, so the port's failures come from real files: /dev/full, and a file
// on a filesystem that fills up after 64 KiB. A converter that crashes
// mid-job fails it as well. A queue administrator aiming a raw queue at a
// file only root may write must not get it written.
TEST_F(InstalledDriver, PortThatRefusesTheDataFailsTheJob)
{
    struct failure_case {
        const char *name;
        std::string device; // bind-mounted onto the port file, or "" for a plain port
        std::string uri;    // or the device URI of a raw queue
        std::string logged = "**** ERROR **** : Unable to send print file to printer.";
        std::string converter_mode = "";
        // The scheduler's error policy aborts a job whose backend failed and
        // stops one whose filter failed.
        std::string state = "aborted";
    };
    std::string small = make_test_dir("small-fs");
    ASSERT_EQ(
        process_run({{"/bin/mount", "-n", "-t", "tmpfs", "-o", "size=64k", "velokit-small", small}})
            .status,
        0);
    write_file(small + "/port", "", 0644);
    const std::string secret = "/run/velokit-root-only", secret_text = "root's own data\n";
    write_file(secret, secret_text, 0600);
    std::string payload = make_test_dir("raw") + "/payload";
    write_file(payload, "root::0:0:owned by a print job:/root:/bin/sh\n");
    const failure_case cases[] = {
        {"every write fails", "/dev/full"},
        {"filesystem full after 64 KiB", small + "/port"},
        {"converter crashes after 1 MiB", "", "", "fwrite: Broken pipe", "crash:1048576",
         "processing-stopped"},
        {"raw queue on a root-only file", "", "velokitlp:" + secret,
         // The scheduler's log escapes the quotes.
         "**** ERROR **** : Unable to open VELO port device file \\\"" + secret +
             "\\\": Permission denied"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        set_port_files({0, 1});
        int job = 0;
        if (c.uri.empty()) {
            if (!c.device.empty()) {
                ASSERT_EQ(
                    process_run({{"/bin/mount", "-n", "--bind", c.device, port_file(1)}}).status,
                    0);
            }
            write_file(sim_dir + "/mode", c.converter_mode);
            add_driver_queue("fail", {"-m", "drv:///velokit.drv/orvexv1.ppd"},
                             "velokitlp:" + port_file(1));
            clear_simulator();
            job = lp_submit("fail", sample_pdf, {"Quality=DRAFT"});
        } else {
            add_driver_queue("raw", {}, c.uri);
            job = lp_submit("raw", payload, {"raw"});
        }
        ASSERT_GT(job, 0);
        job_state state = job_state_wait(job, 60000);
        EXPECT_NE(state.state, "completed");
        EXPECT_EQ(state.state, c.state) << state.reasons;
        // The scheduler may log the filter's last words after the state.
        const std::string logged = "[Job " + std::to_string(job) + "] " + c.logged;
        EXPECT_TRUE(wait_until(
            [&] {
                return read_file(scheduler().dir + "/log/error_log").find(logged) !=
                       std::string::npos;
            },
            10000))
            << logged;
        EXPECT_EQ(read_file(secret), secret_text);
    }
    unlink((sim_dir + "/mode").c_str());
    set_port_files({});
}

} // namespace
