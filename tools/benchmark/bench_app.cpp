// The printer application's figures: the same PWG raster through the app (a
// Print-Job to its server, which hands the rows to the converter while the
// request arrives) against the filter reading it from a file, and the time
// from submission to the converter's start against the classic queue's, each
// in the same run.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cups/raster.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "bench.h"

namespace
{

const char *const app_port = "/var/run/velokitlp9";

// Pages of A4 at 300 dpi in 8-bit gray, as a client sends them for
// print-color-mode=monochrome and print-quality=normal.
std::uint64_t write_pwg(const std::string &path, unsigned pages)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    cups_raster_t *raster = fd >= 0 ? cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG) : nullptr;
    cups_page_header2_t header;
    if (raster == nullptr ||
        cupsRasterInitPWGHeader(&header, pwgMediaForPWG("iso_a4_210x297mm"), "sgray_8", 300, 300,
                                "one-sided", nullptr) == 0) {
        std::fprintf(stderr, "bench: cannot write %s\n", path.c_str());
        std::exit(1);
    }
    std::vector<unsigned char> row(header.cupsBytesPerLine);
    for (unsigned p = 0; p < pages; p++) {
        cupsRasterWriteHeader2(raster, &header);
        for (unsigned y = 0; y < header.cupsHeight; y++) {
            for (std::size_t x = 0; x < row.size(); x++)
                row[x] = static_cast<unsigned char>((x / 64 + y / 64) % 2 != 0 ? 255 : x + y);
            cupsRasterWritePixels(raster, row.data(), header.cupsBytesPerLine);
        }
    }
    cupsRasterClose(raster);
    close(fd);
    return static_cast<std::uint64_t>(pages) * header.cupsHeight * header.cupsBytesPerLine;
}

// What one run of cmd writes on its standard output.
std::string output_of(const bench_setup &setup, const command &cmd)
{
    std::string path = setup.work + "/app-output";
    int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    finish(start(cmd, null, out, null), cmd);
    close(out);
    close(null);
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

command app(const bench_setup &setup, std::vector<std::string> args)
{
    args.insert(args.begin(), setup.build + "/app/velokit-printer-app");
    return {args, ""};
}

int start_server(const bench_setup &setup)
{
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    int pid = start(
        app(setup, {"server", "-o", "server-port=8639", "-o", "log-file=" + setup.work + "/app.log",
                    "-o", "spool-directory=" + setup.work + "/app-spool", "-o",
                    "state-file=" + setup.work + "/app.state"}),
        null, null, null);
    close(null);
    for (int tries = 0; tries < 200; tries++) {
        if (output_of(setup, app(setup, {"status"})).find("Running") != std::string::npos)
            return pid;
        usleep(50000);
    }
    std::fputs("bench: velokit-printer-app server did not start\n", stderr);
    std::exit(1);
}

// Waits until the benchmark printer has no job left in processing.
void wait_idle(const bench_setup &setup)
{
    while (output_of(setup, app(setup, {"jobs", "-d", "bench"})).find("processing") !=
           std::string::npos)
        usleep(10000);
}

// Milliseconds from just before cmd starts until the converter of the job it
// submits runs; returns once that converter has read all of its input.
double first_byte_ms(const bench_setup &setup, const command &cmd)
{
    std::string started = setup.work + "/sim/started";
    std::string ended = setup.work + "/sim/parent-peak";
    unlink(started.c_str());
    unlink(ended.c_str());
    double t0 = monotonic_seconds();
    time_alone(cmd);
    for (int waited = 0; access(ended.c_str(), F_OK) != 0; waited++) {
        if (waited > 30000) {
            std::fputs("bench: the job's converter never ended\n", stderr);
            std::exit(1);
        }
        usleep(1000);
    }
    std::ifstream in(started);
    long long ns = -1;
    in >> ns;
    return (static_cast<double>(ns) * 1e-9 - t0) * 1e3;
}

void first_byte_row(const bench_setup &setup, std::vector<bench_row> &table)
{
    std::string path = setup.work + "/first.pwg";
    write_pwg(path, 1);
    command classic = {{"/usr/bin/lp", "-d", "velokit-classic", "-o",
                        "document-format=application/vnd.cups-raster", path},
                       ""};
    command submit =
        app(setup, {"submit", "-d", "bench", "-o", "print-color-mode=monochrome", path});
    int runs = setup.quick ? 1 : 11;
    paired_times t = time_paired(
        runs, [&] { return first_byte_ms(setup, classic); },
        [&] {
            double ms = first_byte_ms(setup, submit);
            wait_idle(setup);
            return ms;
        });
    // A time, not a throughput: the application's share of the classic queue's.
    std::vector<double> shares;
    for (double ratio : t.ratios)
        shares.push_back(1 / ratio);
    unlink(path.c_str());
    char figure[160];
    std::snprintf(figure, sizeof(figure),
                  "submission to the converter's start, 1 page PWG raster 300 dpi gray (%d run%s)",
                  runs, runs == 1 ? "" : "s");
    table.push_back({figure, "classic queue (lp) " + fixed(median(t.baseline), 1) + " ms",
                     "printer application " + fixed(median(t.measured), 1) + " ms",
                     fixed(median(shares), 3) + " of the classic queue's time", "", ""});
}

} // namespace

void app_figures(const bench_setup &setup, std::vector<bench_row> &table)
{
    if (access((setup.build + "/app/velokit-printer-app").c_str(), X_OK) != 0)
        return;
    progress("printer application against the filter and the classic queue");
    set_env("CUPS_SERVERROOT", setup.server_root.c_str());
    // As sink, and the converter tells when it started and when its input ended.
    set_env("VELOKIT_SIM_MODE", "measure");
    // The classic queue's converter runs as the scheduler's user lp.
    chmod((setup.work + "/sim").c_str(), 0777);
    std::ofstream(app_port).close();
    int server = start_server(setup);
    output_of(setup, app(setup, {"add", "-d", "bench", "-m", "orvex_v1", "-v",
                                 std::string("velokitlp:") + app_port}));
    first_byte_row(setup, table);

    std::string path = setup.work + "/app.pwg";
    unsigned pages = setup.quick ? 1 : 12;
    std::uint64_t bytes = write_pwg(path, pages);
    command filter = filter_command(setup, path);
    command submit =
        app(setup, {"submit", "-d", "bench", "-o", "print-color-mode=monochrome", path});
    int runs = setup.quick ? 1 : 9;
    paired_times t = time_paired(
        runs, [&] { return time_alone(filter).wall; },
        [&] {
            // A streamed raster job is printed while its request arrives.
            double seconds = time_alone(submit).wall;
            wait_idle(setup);
            return seconds;
        });
    unlink(path.c_str());
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);

    double ratio = median(t.ratios);
    char figure[160];
    std::snprintf(figure, sizeof(figure),
                  "printer application, PWG raster 300 dpi gray, %u page%s (%.1f MB, %d run%s)",
                  pages, pages == 1 ? "" : "s", static_cast<double>(bytes) / 1e6, runs,
                  runs == 1 ? "" : "s");
    table.push_back({figure, "filter " + megabytes_per_second(bytes, median(t.baseline)),
                     megabytes_per_second(bytes, median(t.measured)),
                     ratio_text(ratio, "the filter", t.baseline, t.measured), ">= 0.9",
                     verdict(ratio >= 0.9)});
}
