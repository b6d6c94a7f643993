// The filter's figures: throughput against the pipe and the ideal loop,
// start-up against a bare PPD fetch, and its peak resident size.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include "bench.h"
#include "converter.h"
#include "raster_stream.h"
#include "raster_writer.h"

namespace
{

struct raster_job {
    raster_kind kind;
    raster_content content;
    unsigned dpi;
    unsigned pages;
};

// An A4 page in 8-bit gray, as the driver's MONO ink asks for.
raster_page a4_page(unsigned dpi)
{
    auto width = static_cast<std::uint32_t>(210 * dpi / 25.4 + 0.5);
    auto height = static_cast<std::uint32_t>(297 * dpi / 25.4 + 0.5);
    return {width, height, width, dpi, 1};
}

const char *kind_name(raster_kind kind)
{
    return kind == raster_kind::v2 ? "v2 compressed" : "v3";
}

const char *content_name(raster_content content)
{
    return content == raster_content::photo ? "photo" : "document";
}

std::string raster_path(const bench_setup &setup, const std::string &name)
{
    return setup.work + "/" + name + ".ras";
}

[[noreturn]] void cannot_write(const std::string &path)
{
    std::fprintf(stderr, "bench: cannot write %s\n", path.c_str());
    std::exit(1);
}

// Writes the job's raster; returns the bytes that the filter sends for it.
// libcups's writer makes one page; the others repeat its header and rows,
// which is what the writer makes of equal pages, in a fraction of the time.
std::uint64_t write_raster(const std::string &path, const raster_job &job)
{
    raster_page page = a4_page(job.dpi);
    if (!raster_write_file(path, job.kind, {page}, job.content))
        cannot_write(path);
    std::ifstream in(path, std::ios::binary);
    std::string stream((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(stream.data(), 4);
    for (unsigned p = 0; p < job.pages; p++)
        out.write(stream.data() + 4, static_cast<std::streamsize>(stream.size() - 4));
    out.close();
    if (stream.size() < 4 || !out)
        cannot_write(path);
    return job.pages * page.height * row_stride(page.bytes_per_line);
}

// Enough runs for a stable median without letting the big jobs take minutes:
// about 2.5 GB through the filter for each figure, between 3 and 15 runs.
int throughput_runs(const bench_setup &setup, std::uint64_t bytes)
{
    if (setup.quick)
        return 1;
    auto runs = static_cast<int>(2.5e9 / static_cast<double>(bytes) + 0.5);
    return std::clamp(runs, 3, 15);
}

void throughput_row(const bench_setup &setup, const raster_job &job, std::vector<bench_row> &table)
{
    std::string path = raster_path(setup, "throughput");
    std::uint64_t bytes = write_raster(path, job);
    command pipe_limit = ideal_loop(setup, "pipe", std::to_string(bytes));
    command ideal = ideal_loop(setup, "rows", path);
    command filter = filter_command(setup, path);

    std::vector<double> pipe_s, ideal_s, filter_s, ratios, cpu_ratios;
    int runs = throughput_runs(setup, bytes);
    for (int r = 0; r < runs; r++) {
        // The order turns from run to run, so a drift in the machine's load
        // falls on each program alike.
        run_time t[3];
        for (int i = 0; i < 3; i++) {
            int which = (i + r) % 3;
            t[which] = time_alone(which == 0 ? pipe_limit : which == 1 ? ideal : filter);
        }
        pipe_s.push_back(t[0].wall);
        ideal_s.push_back(t[1].wall);
        filter_s.push_back(t[2].wall);
        ratios.push_back(t[1].wall / t[2].wall);
        cpu_ratios.push_back(t[1].cpu / t[2].cpu);
    }
    unlink(path.c_str());

    double ratio = median(ratios);
    char figure[160];
    std::snprintf(figure, sizeof(figure), "filter %s %s, %u dpi, %u page%s (%.1f MB, %d run%s)",
                  kind_name(job.kind), content_name(job.content), job.dpi, job.pages,
                  job.pages == 1 ? "" : "s", static_cast<double>(bytes) / 1e6, runs,
                  runs == 1 ? "" : "s");
    table.push_back({figure,
                     "pipe " + megabytes_per_second(bytes, median(pipe_s)) + ", ideal loop " +
                         megabytes_per_second(bytes, median(ideal_s)),
                     megabytes_per_second(bytes, median(filter_s)),
                     ratio_text(ratio, "the ideal loop", ideal_s, filter_s) + "; processor time " +
                         fixed(median(cpu_ratios), 3),
                     ">= 0.95", verdict(ratio >= 0.95)});
}

long read_number(const std::string &path)
{
    std::ifstream in(path);
    long long value = -1;
    in >> value;
    return static_cast<long>(value);
}

std::string sim_file(const bench_setup &setup, const char *name)
{
    return setup.work + "/sim/" + name;
}

// Milliseconds from the start of cmd until the converter it starts is running.
double converter_start_ms(const bench_setup &setup, const command &cmd)
{
    std::string started = sim_file(setup, "started");
    unlink(started.c_str());
    double t0 = monotonic_seconds();
    time_alone(cmd);
    return (static_cast<double>(read_number(started)) * 1e-9 - t0) * 1e3;
}

void startup_row(const bench_setup &setup, const std::string &raster, bool local_copy,
                 std::vector<bench_row> &table)
{
    set_env("CUPS_SERVERROOT", local_copy ? setup.server_root.c_str() : nullptr);
    command fetch = ideal_loop(setup, "start", setup.queue);
    command filter = filter_command(setup, raster);
    std::vector<double> fetch_ms, filter_ms, extra_ms;
    int runs = setup.quick ? 3 : 41;
    for (int r = 0; r < runs; r++) {
        double a = 0, b = 0;
        if (r % 2 == 0) {
            a = converter_start_ms(setup, fetch);
            b = converter_start_ms(setup, filter);
        } else {
            b = converter_start_ms(setup, filter);
            a = converter_start_ms(setup, fetch);
        }
        fetch_ms.push_back(a);
        filter_ms.push_back(b);
        extra_ms.push_back(b - a);
    }
    double extra = median(extra_ms);
    // Named, not temporaries: GCC 12 wrongly reports -Wrestrict on "literal" +
    // a temporary string.
    std::string extra_text = fixed(extra, 2);
    table.push_back({std::string("filter start-up, one-row job, PPD ") +
                         (local_copy ? "from the scheduler's directory (as the scheduler runs it)"
                                     : "through the scheduler's socket"),
                     "fetch and start " + fixed(median(fetch_ms), 2) + " ms",
                     fixed(median(filter_ms), 2) + " ms",
                     (extra >= 0 ? "+" : "") + extra_text + " ms", "< 5 ms beyond the fetch",
                     verdict(extra < 5)});
}

// The peak in KiB of the program that cmd runs, as the converter it started
// saw it at the end of its input.
long peak_kib(const bench_setup &setup, const command &cmd)
{
    std::vector<double> peaks;
    for (int r = 0; r < (setup.quick ? 1 : 3); r++) {
        std::string peak = sim_file(setup, "parent-peak");
        unlink(peak.c_str());
        time_alone(cmd);
        peaks.push_back(static_cast<double>(read_number(peak)));
    }
    return static_cast<long>(median(peaks));
}

std::string kib(long value)
{
    return std::to_string(value) + " KiB";
}

void memory_by_pages(const bench_setup &setup, raster_kind kind, std::vector<bench_row> &table)
{
    const unsigned counts[] = {1, 10, 50};
    long peaks[3];
    std::string path = raster_path(setup, "memory");
    for (int i = 0; i < 3; i++) {
        write_raster(path, {kind, raster_content::document, setup.quick ? 30U : 300U, counts[i]});
        peaks[i] = peak_kib(setup, filter_command(setup, path));
    }
    unlink(path.c_str());
    long low = std::min({peaks[0], peaks[1], peaks[2]});
    long high = std::max({peaks[0], peaks[1], peaks[2]});
    double ratio = static_cast<double>(high) / static_cast<double>(low);
    table.push_back({std::string("filter peak RSS, ") + kind_name(kind) + ", 1, 10, 50 pages",
                     "1 page " + kib(peaks[0]),
                     "10 pages " + kib(peaks[1]) + ", 50 pages " + kib(peaks[2]),
                     "largest / smallest " + fixed(ratio, 3), "<= 1.10", verdict(ratio <= 1.10)});
}

// The filter may grow with the page width by its row area; libcups, for a
// compressed raster, by a row of pixels of its own (allocated as the header
// is read, resident or not depending on where the heap puts it). Each job
// sends more than the stream's area and the pipe hold, so both are in use at
// every width.
void memory_by_width(const bench_setup &setup, raster_kind kind, std::vector<bench_row> &table)
{
    const std::uint32_t widths[] = {1, 100, 1000, 5000, 10000, 20000};
    std::string path = raster_path(setup, "width");
    long base = 0;
    for (std::uint32_t width : widths) {
        std::uint64_t bytes = (converter_buffer_size + converter_pipe_size) * 5 / 4;
        auto rows = static_cast<std::uint32_t>(bytes / row_stride(width) + 1);
        if (!raster_write_file(path, kind, {{width, rows, width}}, raster_content::photo))
            cannot_write(path);
        long peak = peak_kib(setup, filter_command(setup, path));
        if (width == 1) {
            base = peak;
            continue;
        }
        // Resident sizes count 4 KiB pages; one more page either way is
        // rounding.
        auto row_area = static_cast<long>((row_stride(width) + 4095) / 4096 * 4);
        auto libcups = kind == raster_kind::v2 ? static_cast<long>((width + 4095) / 4096 * 4) : 0;
        long grown = peak - base;
        std::string grown_text = kib(grown);
        table.push_back({std::string("filter peak RSS, ") + kind_name(kind) + ", width " +
                             std::to_string(width),
                         "width 1: " + kib(base), kib(peak),
                         "+" + grown_text + "; row area " + kib(row_area) +
                             (libcups > 0 ? ", libcups's row " + kib(libcups) : ""),
                         "<= row area" + std::string(libcups > 0 ? " + libcups's row" : ""),
                         verdict(grown <= row_area + libcups + 4)});
    }
    unlink(path.c_str());
}

} // namespace

command filter_command(const bench_setup &setup, const std::string &raster)
{
    return {{setup.build + "/filter/rastertovelokit", "1", "bench", "bench", "1", "", raster},
            setup.queue};
}

command ideal_loop(const bench_setup &setup, const std::string &mode, const std::string &arg)
{
    return {{setup.build + "/tools/ideal-loop", mode, arg}, ""};
}

command converter_sink()
{
    return {{"/usr/lib/cups/filter/velokit-filter"}, ""};
}

void filter_throughput(const bench_setup &setup, std::vector<bench_row> &table)
{
    // The scheduler gives its filters their configuration directory, where
    // the fetch finds the queue's PPD without asking over the socket.
    set_env("CUPS_SERVERROOT", setup.server_root.c_str());
    set_env("VELOKIT_SIM_MODE", "sink");
    const unsigned dpis[] = {300, 600};
    const unsigned pages[] = {1, 10, 50};
    for (raster_kind kind : {raster_kind::v3, raster_kind::v2}) {
        for (raster_content content : {raster_content::document, raster_content::photo}) {
            for (unsigned dpi : dpis) {
                for (unsigned count : pages) {
                    raster_job job{kind, content, setup.quick ? dpi / 10 : dpi,
                                   setup.quick ? count / 10 + 1 : count};
                    progress(std::string("filter throughput: ") + kind_name(kind) + " " +
                             content_name(content) + " " + std::to_string(job.dpi) + " dpi " +
                             std::to_string(job.pages) + " pages");
                    throughput_row(setup, job, table);
                }
            }
        }
    }
}

void filter_startup(const bench_setup &setup, std::vector<bench_row> &table)
{
    progress("filter start-up");
    set_env("VELOKIT_SIM_MODE", "measure");
    std::string path = raster_path(setup, "one-row");
    if (!raster_write_file(path, raster_kind::v3, {{2480, 1, 2480}}, raster_content::document))
        cannot_write(path);
    startup_row(setup, path, false, table);
    startup_row(setup, path, true, table);
    unlink(path.c_str());
}

void filter_memory(const bench_setup &setup, std::vector<bench_row> &table)
{
    progress("filter memory");
    set_env("CUPS_SERVERROOT", setup.server_root.c_str());
    set_env("VELOKIT_SIM_MODE", "measure");
    for (raster_kind kind : {raster_kind::v3, raster_kind::v2})
        memory_by_pages(setup, kind, table);
    for (raster_kind kind : {raster_kind::v3, raster_kind::v2})
        memory_by_width(setup, kind, table);
}
