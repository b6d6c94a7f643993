// velokit-bench [--quick] BUILD WORK QUEUE SERVER_ROOT: measures the filter
// and the backend against baselines taken in the same run and prints one
// table of medians. Meant to run through tools/bench, inside the sandbox, with
// CUPS_SERVER naming the private scheduler that serves QUEUE.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/personality.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "bench.h"

paired_times time_paired(int runs, const std::function<double()> &baseline,
                         const std::function<double()> &measured)
{
    paired_times times;
    for (int r = 0; r < runs; r++) {
        double b = 0, m = 0;
        for (int i = 0; i < 2; i++) {
            if ((i + r) % 2 == 0)
                b = baseline();
            else
                m = measured();
        }
        times.baseline.push_back(b);
        times.measured.push_back(m);
        times.ratios.push_back(b / m);
    }
    return times;
}

std::string fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

std::string megabytes_per_second(double bytes, double seconds)
{
    return fixed(bytes / seconds / 1e6, 0) + " MB/s";
}

std::string verdict(bool met)
{
    return met ? "yes" : "no";
}

std::string ratio_text(double ratio, const std::string &name, const std::vector<double> &baseline_s,
                       const std::vector<double> &measured_s)
{
    double fastest = *std::min_element(baseline_s.begin(), baseline_s.end()) /
                     *std::min_element(measured_s.begin(), measured_s.end());
    return fixed(ratio, 3) + " of " + name + " (fastest runs " + fixed(fastest, 3) + ")";
}

void progress(const std::string &text)
{
    std::fprintf(stderr, "bench: %s\n", text.c_str());
}

void set_env(const char *name, const char *value)
{
    if (value != nullptr)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

static std::string first_line(const std::string &path, const std::string &prefix)
{
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(prefix, 0) == 0)
            return line.substr(line.find(':') == std::string::npos ? 0 : line.find(':') + 2);
    }
    return "";
}

static std::string machine()
{
    return std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores, " +
           first_line("/proc/cpuinfo", "model name");
}

static std::string load_average()
{
    std::ifstream in("/proc/loadavg");
    std::string one, five;
    in >> one >> five;
    return one + " " + five;
}

static void print_table(const std::vector<bench_row> &table)
{
    const char *heads[] = {"figure", "baseline", "measured", "result", "target", "met"};
    std::size_t widths[6];
    for (int c = 0; c < 6; c++)
        widths[c] = std::strlen(heads[c]);
    auto cells = [](const bench_row &row) {
        return std::vector<const std::string *>{&row.figure, &row.baseline, &row.measured,
                                                &row.result, &row.target,   &row.met};
    };
    for (const auto &row : table) {
        auto cell = cells(row);
        for (int c = 0; c < 6; c++)
            widths[c] = std::max(widths[c], cell[c]->size());
    }
    auto line = [&](const std::vector<std::string> &texts) {
        std::string out = "|";
        for (int c = 0; c < 6; c++)
            out += " " + texts[c] + std::string(widths[c] - texts[c].size(), ' ') + " |";
        std::puts(out.c_str());
    };
    line({heads[0], heads[1], heads[2], heads[3], heads[4], heads[5]});
    std::vector<std::string> rule;
    for (int c = 0; c < 6; c++)
        rule.push_back(std::string(widths[c], '-'));
    line(rule);
    for (const auto &row : table) {
        auto cell = cells(row);
        line({*cell[0], *cell[1], *cell[2], *cell[3], *cell[4], *cell[5]});
    }
}

int main(int argc, char *argv[])
{
    bench_setup setup;
    int first = 1;
    if (argc > 1 && std::strcmp(argv[1], "--quick") == 0) {
        setup.quick = true;
        first = 2;
    }
    if (argc - first != 4) {
        std::fputs("usage: velokit-bench [--quick] BUILD WORK QUEUE SERVER_ROOT\n", stderr);
        return 2;
    }
    setup.build = argv[first];
    setup.work = argv[first + 1];
    setup.queue = argv[first + 2];
    setup.server_root = argv[first + 3];
    // Fixed address layouts for every program started from here on: with
    // randomised ones a peak resident size moves by 100 KiB from run to run.
    personality(ADDR_NO_RANDOMIZE);
    mkdir((setup.work + "/sim").c_str(), 0777);
    mkdir((setup.work + "/tmp").c_str(), 01777);
    set_env("VELOKIT_SIM_DIR", (setup.work + "/sim").c_str());
    set_env("TMPDIR", (setup.work + "/tmp").c_str());

    std::string load_before = load_average();
    std::vector<bench_row> table;
    filter_throughput(setup, table);
    filter_startup(setup, table);
    filter_memory(setup, table);
    backend_throughput(setup, table);
    app_figures(setup, table);

    std::printf("machine: %s\n", machine().c_str());
    std::printf("load average (1 and 5 minutes): %s before, %s after\n", load_before.c_str(),
                load_average().c_str());
    std::printf("%s\n\n", setup.quick
                              ? "quick mode: small sizes, one run each; the figures mean nothing"
                              : "medians of several runs, each against baselines measured "
                                "in the same run");
    print_table(table);
    return 0;
}
