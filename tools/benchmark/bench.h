// The benchmark's figures and the one table they end up in.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "measure.h"

struct bench_setup {
    bool quick = false;
    std::string build;       // the build tree holding the programs
    std::string work;        // scratch space on a tmpfs
    std::string queue;       // the private scheduler's queue for the filter
    std::string server_root; // that scheduler's configuration directory
};

// One line of the table: what is measured, against what, and the outcome.
struct bench_row {
    std::string figure;
    std::string baseline;
    std::string measured;
    std::string result;
    std::string target;
    std::string met; // "yes", "no" or "" where no target applies
};

void filter_throughput(const bench_setup &setup, std::vector<bench_row> &table);
void filter_startup(const bench_setup &setup, std::vector<bench_row> &table);
void filter_memory(const bench_setup &setup, std::vector<bench_row> &table);
void backend_throughput(const bench_setup &setup, std::vector<bench_row> &table);
// The printer application against the filter and the classic queue, where
// it was built.
void app_figures(const bench_setup &setup, std::vector<bench_row> &table);

// The programs under test and their stand-ins.
command filter_command(const bench_setup &setup, const std::string &raster);
command ideal_loop(const bench_setup &setup, const std::string &mode, const std::string &arg);
command converter_sink();

// Times a baseline and the program measured once per run, for runs runs,
// the two in an order that turns from run to run so that neither always
// follows the other. Keeps every time, and each run's ratio baseline over
// measured (above 1: the program is faster).
struct paired_times {
    std::vector<double> baseline, measured, ratios;
};
paired_times time_paired(int runs, const std::function<double()> &baseline,
                         const std::function<double()> &measured);

// Texts of the table.
std::string fixed(double value, int decimals);
std::string megabytes_per_second(double bytes, double seconds);
std::string verdict(bool met);
// "R of NAME (fastest runs F)": R the median of the runs' ratios, F the
// fastest baseline run over the fastest measured one. Other load only ever
// adds time, so F shows what is left when it is gone.
std::string ratio_text(double ratio, const std::string &name, const std::vector<double> &baseline_s,
                       const std::vector<double> &measured_s);
// Progress on standard error, so the table alone goes to standard output.
void progress(const std::string &text);
// Sets or clears (value nullptr) one variable of the benchmark's environment,
// which every program it starts inherits.
void set_env(const char *name, const char *value);
