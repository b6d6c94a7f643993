// One run of the real rastertovelokit with the simulator as its converter.
#pragma once

#include <string>
#include <vector>

#include "process.h"

struct filter_run {
    process_result result;
    bool converter_started = false;
    std::vector<std::string> converter_argv;
    std::string converter_input;
    std::string tmpdir;
};

// One job through the filter: the raster from a file (7 arguments) or, when
// raster is empty, the bytes of stdin_data on standard input (6 arguments).
filter_run run_filter(const std::string &queue, const std::string &options,
                      const std::string &raster, const std::string &stdin_data = "",
                      std::vector<std::string> env = {}, bool sigpipe_ignored = false);

// The blank-separated words of a line, as the converter receives them.
std::vector<std::string> words(const std::string &line);
