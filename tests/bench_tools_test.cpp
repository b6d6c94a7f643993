// The benchmark's stand-ins: the ideal loop must move exactly the bytes the
// filter moves, or the benchmark's ratios would compare unequal work, and the
// converter's measure mode must note what the benchmark reads.
#include <ctime>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "filter_run.h"
#include "raster_writer.h"
#include "sandbox.h"

namespace
{

const char *const ideal_loop = VELOKIT_IDEAL_LOOP_BINARY;

class BenchTools : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        scheduler_add_queue("vk", ppd_text({}));
    }
    void SetUp() override
    {
        require_sandbox();
    }
};

// What the converter received from one run of the ideal loop.
std::string ideal_loop_output(const std::string &mode, const std::string &arg,
                              const std::string &sim_mode = "record")
{
    std::string sim = make_test_dir("sim");
    process_result r = process_run(
        {{ideal_loop, mode, arg}, "", {"VELOKIT_SIM_DIR=" + sim, "VELOKIT_SIM_MODE=" + sim_mode}});
    EXPECT_EQ(r.status, 0) << r.err;
    return sim;
}

TEST_F(BenchTools, IdealLoopSendsWhatTheFilterSends)
{
    struct rows_case {
        const char *name;
        raster_kind kind;
        std::vector<raster_page> pages;
    };
    const rows_case cases[] = {
        {"v3, three sizes", raster_kind::v3, {{10, 3, 10}, {7, 2, 7}, {5, 4, 5}}},
        // A shorter row in the same stride: the byte the longer one left
        // behind must go out as zero.
        {"v2, shorter rows after longer", raster_kind::v2, {{6, 3, 6}, {5, 3, 5}, {9, 2, 9}}},
        {"RGB and CMYK at 600 dpi", raster_kind::v2, {{100, 4, 300, 600, 3}, {50, 3, 200, 300, 4}}},
        {"more rows than one write", raster_kind::v3, {{4000, 100, 4000}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = make_test_dir("raster") + "/job.ras";
        ASSERT_TRUE(raster_write_file(path, c.kind, c.pages));
        filter_run filter = run_filter("vk", "", path);
        ASSERT_EQ(filter.result.status, 0) << filter.result.err;
        std::string ideal = read_file(ideal_loop_output("rows", path) + "/stdin");
        EXPECT_TRUE(ideal == filter.converter_input)
            << "ideal loop " << ideal.size() << " bytes, filter " << filter.converter_input.size();
    }
}

TEST_F(BenchTools, PipeLimitSendsTheBytesAskedFor)
{
    for (std::size_t bytes : {0UL, 1UL, 3000001UL}) {
        std::string input = read_file(ideal_loop_output("pipe", std::to_string(bytes)) + "/stdin");
        EXPECT_EQ(input, std::string(bytes, '\0'));
    }
}

long long monotonic_ns()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

TEST_F(BenchTools, MeasureModeNotesItsStartAndItsParentsPeak)
{
    long long before = monotonic_ns();
    std::string sim = ideal_loop_output("pipe", "5000000", "measure");
    long long after = monotonic_ns();
    long long started = std::stoll(read_file(sim + "/started"));
    EXPECT_GT(started, before);
    EXPECT_LT(started, after);
    // The ideal loop holds libcups and its own 1 MiB block of zeros.
    EXPECT_GT(std::stol(read_file(sim + "/parent-peak")), 1024);
}

} // namespace
