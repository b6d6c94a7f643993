// The real rastertovelokit in the sandbox, its PPD fetched from a private
// cupsd, the converter played by the simulator.
#include <cstring>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <cstddef>
#include <cups/raster.h>

#include "filter_run.h"
#include "raster_writer.h"
#include "sandbox.h"

namespace
{

// What the converter must receive for these pages: every row padded with
// zero bytes to a multiple of 4.
std::string expected_rows(const std::vector<raster_page> &pages)
{
    std::string rows;
    for (unsigned p = 0; p < pages.size(); p++) {
        std::size_t stride = (pages[p].bytes_per_line + 3) / 4 * 4;
        std::string row(stride, '\0');
        for (unsigned y = 0; y < pages[p].height; y++) {
            raster_row(raster_content::pattern, p, y, reinterpret_cast<unsigned char *>(row.data()),
                       pages[p].bytes_per_line);
            rows += row;
        }
    }
    return rows;
}

std::string raster_file(const std::vector<raster_page> &pages, raster_kind kind = raster_kind::v3,
                        long cut_at = -1)
{
    static int n = 0;
    std::string path = make_test_dir("raster") + "/job" + std::to_string(n++) + ".ras";
    EXPECT_TRUE(raster_write_file(path, kind, pages, raster_content::pattern, cut_at));
    return path;
}

// A one-page raster whose header claims this many bytes per row; the stream
// ends after the header.
std::string raster_claiming(std::uint32_t bytes_per_line)
{
    std::string path = raster_file({{1, 1, 4}}, raster_kind::v3_raw);
    std::string bytes = read_file(path).substr(0, 4 + sizeof(cups_page_header2_t));
    std::memcpy(bytes.data() + 4 + offsetof(cups_page_header2_t, cupsBytesPerLine), &bytes_per_line,
                sizeof(bytes_per_line));
    write_file(path, bytes);
    return path;
}

class FilterRun : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        scheduler_add_queue("vk", ppd_text({}));
        test_ppd broken;
        broken.default_ink = "GOLD";
        scheduler_add_queue("vk_broken", ppd_text(broken));
        test_ppd no_model;
        no_model.model = "";
        scheduler_add_queue("vk_nomodel", ppd_text(no_model));
        test_ppd long_model;
        long_model.model = std::string(200, 'M');
        scheduler_add_queue("vk_longmodel", ppd_text(long_model));
    }
    void SetUp() override
    {
        require_sandbox();
    }
};

const std::vector<raster_page> one_page = {{10, 3, 10}};
const std::string converter = "/usr/lib/cups/filter/velokit-filter";

TEST_F(FilterRun, StreamsEveryRowPaddedToTheStride)
{
    struct stream_case {
        const char *name;
        raster_kind kind;
        std::vector<raster_page> pages;
    };
    const stream_case cases[] = {
        {"v3, strides 4 and 8", raster_kind::v3, {{1, 2, 1}, {5, 3, 5}}},
        {"v2 compressed, three sizes", raster_kind::v2, {{10, 3, 10}, {7, 2, 7}, {64, 5, 64}}},
        {"v1, a multiple of 4 unchanged", raster_kind::v1, {{300, 40, 300}}},
        {"wide row", raster_kind::v2, {{4961, 4, 4961}}},
        {"hand-built v3", raster_kind::v3_raw, {{3, 2, 3}, {9, 1, 9}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        for (bool from_stdin : {false, true}) {
            std::string path = raster_file(c.pages, c.kind);
            filter_run run =
                from_stdin ? run_filter("vk", "", "", read_file(path)) : run_filter("vk", "", path);
            EXPECT_EQ(run.result.status, 0) << run.result.err;
            EXPECT_EQ(run.result.err, "");
            EXPECT_EQ(run.result.out, "");
            EXPECT_TRUE(run.converter_input == expected_rows(c.pages))
                << "converter got " << run.converter_input.size() << " bytes";
            // The command line carries the first page's size only.
            std::vector<std::string> argv = {converter,
                                             "ORVEX",
                                             "Inkjet",
                                             "Printer",
                                             "V1",
                                             std::to_string(c.pages[0].width),
                                             std::to_string(c.pages[0].height),
                                             "COLOR",
                                             "A4",
                                             "NORMAL"};
            EXPECT_EQ(run.converter_argv, argv);
            EXPECT_FALSE(file_exists(run.tmpdir + "/x")) << "scratch";
            EXPECT_EQ(read_file("/proc/self/mounts").empty(), false);
        }
    }
}

TEST_F(FilterRun, SettingsReachTheConverterInItsOrder)
{
    filter_run run = run_filter("vk", "PageRegion=Letter media=Legal Quality=PHOTO Ink=MONO",
                                raster_file(one_page));
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    std::vector<std::string> argv = {converter, "ORVEX", "Inkjet", "Printer", "V1",
                                     "10",      "3",     "MONO",   "Letter",  "PHOTO"};
    EXPECT_EQ(run.converter_argv, argv);
}

TEST_F(FilterRun, RasterWithoutPagesStartsNoConverter)
{
    filter_run run = run_filter("vk", "", raster_file({}));
    EXPECT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_EQ(run.result.err, "");
    EXPECT_FALSE(run.converter_started);
}

TEST_F(FilterRun, TemporaryPpdCopyIsRemoved)
{
    for (const char *queue : {"vk", "vk_broken", "vk_nomodel"}) {
        filter_run run = run_filter(queue, "", raster_file(one_page));
        struct stat st;
        std::string listing = process_run({{"/bin/ls", "-A", run.tmpdir}}).out;
        EXPECT_EQ(listing, "") << queue;
        EXPECT_EQ(stat(run.tmpdir.c_str(), &st), 0);
    }
}

TEST_F(FilterRun, FailuresReportExactlyAndExitWithTheirStatus)
{
    struct failure_case {
        const char *name;
        std::string queue, options;
        std::string raster; // a path, "" for stdin, "-" for too few arguments
        std::string input;
        std::string err;
        int status;
        std::string converter_mode = ""; // the simulator's, for the converter's own faults
        bool sigpipe_ignored = false;
    };
    // Far more than the pipe and the stream's area hold.
    std::string big = raster_file({{4096, 800, 4096}});
    std::string garbage = make_test_dir("garbage") + "/not-raster";
    write_file(garbage, "this is not a raster stream at all");
    std::vector<raster_page> two_rows = {{100, 2, 100}};
    long cut = 4 + 1796 + 100 + 50; // inside the second row
    const failure_case cases[] = {
        {"five arguments", "vk", "", "-", "", "Insufficient options.", 1},
        {"missing file", "vk", "", "/run/no/such/raster", "", "open: No such file or directory\n",
         1},
        {"media over 40", "vk", "media=" + std::string(41, 'm'), raster_file(one_page), "",
         "Cannot read filter option. Cannot get option of VELO.", 1},
        {"ink over 255", "vk", "Ink=" + std::string(256, 'i'), raster_file(one_page), "",
         "Ink option is longer than 255 characters.", 1},
        {"broken PPD", "vk_broken", "", raster_file(one_page), "",
         "PPD file is broken. Cannot get option of VELO.", 1},
        {"no such queue", "vk_missing", "", raster_file(one_page), "",
         "Cannot fetch the PPD file of the queue.", 1},
        {"PPD without model", "vk_nomodel", "", raster_file(one_page), "",
         "PPD file has no *ModelName.", 1},
        {"command line over 255", "vk_longmodel", "Ink=" + std::string(30, 'i'),
         raster_file(one_page), "", "Converter command line is longer than 255 characters.", 1},
        {"not a raster", "vk", "", garbage, "", "Can't open CUPS raster file.", 1},
        {"empty stdin", "vk", "", "", "", "Can't open CUPS raster file.", 1},
        {"cut inside a row", "vk", "", raster_file(two_rows, raster_kind::v3, cut), "",
         "cupsRasterReadPixels", 1},
        {"row of 2 GiB claimed", "vk", "", raster_claiming(0x7ffffff0U), "", "cupsRasterReadPixels",
         1},
        {"converter crashes mid-job", "vk", "", big, "", "fwrite: Broken pipe\n", 8, "crash:65536"},
        {"converter crashes mid-job, SIGPIPE ignored", "vk", "", big, "", "fwrite: Broken pipe\n",
         8, "crash:65536", true},
        {"converter crashes after the last row", "vk", "", raster_file(one_page), "",
         "velokit-filter was killed by signal 11.", 1, "crash"},
        {"converter exits 3", "vk", "", raster_file(one_page), "",
         "velokit-filter exited with status 3.", 1, "status:3"},
        {"converter exits 0", "vk", "", raster_file(one_page), "", "", 0, "status:0"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        filter_run run;
        if (c.raster == "-") {
            run.result = process_run({{filter_binary, "1", "u", "t", "1"}, c.queue});
        } else {
            // The PPD from the scheduler's directory, as the real scheduler has
            // the filter fetch it: one over the socket leaves SIGPIPE ignored.
            std::vector<std::string> env;
            if (!c.converter_mode.empty())
                env = {"VELOKIT_SIM_MODE=" + c.converter_mode,
                       "CUPS_SERVERROOT=" + scheduler().dir + "/etc"};
            run = run_filter(c.queue, c.options, c.raster, c.input, env, c.sigpipe_ignored);
        }
        EXPECT_EQ(run.result.err, c.err);
        EXPECT_EQ(run.result.status, c.status);
        EXPECT_EQ(run.result.out, "");
    }
    process_result eight = process_run({{filter_binary, "1", "u", "t", "1", "", "x", "y"}, "vk"});
    EXPECT_EQ(eight.err, "Insufficient options.");
    EXPECT_EQ(eight.status, 1);
}

TEST_F(FilterRun, MissingConverterIsReportedAsPopen)
{
    // valgrind turns the spawn's vfork into a fork, so an exec failure in
    // the child never reaches the parent there.
    if (under_memcheck())
        GTEST_SKIP() << "not observable under valgrind";
    std::string saved = converter + ".saved";
    ASSERT_EQ(rename(converter.c_str(), saved.c_str()), 0);
    filter_run run = run_filter("vk", "", raster_file(one_page));
    ASSERT_EQ(rename(saved.c_str(), converter.c_str()), 0);
    EXPECT_EQ(run.result.err, "popen: No such file or directory\n");
    EXPECT_EQ(run.result.status, 1);
}

TEST_F(FilterRun, ConverterThatStopsReadingEndsTheJobAsFailed)
{
    // Far more than the pipe holds, so the filter's writes must fail.
    std::vector<raster_page> big = {{4096, 400, 4096}};
    std::string path = raster_file(big);
    filter_run run = run_filter("vk", "", path, "", {"VELOKIT_SIM_MODE=exit"});
    EXPECT_EQ(run.result.err, "fwrite: Broken pipe\n");
    EXPECT_EQ(run.result.status, 8) << "signal " << run.result.signal;
}

} // namespace
