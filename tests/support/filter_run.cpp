#include "filter_run.h"

#include <sstream>

#include "sandbox.h"

filter_run run_filter(const std::string &queue, const std::string &options,
                      const std::string &raster, const std::string &stdin_data,
                      std::vector<std::string> env, bool sigpipe_ignored)
{
    filter_run run;
    std::string sim = make_test_dir("sim");
    run.tmpdir = make_test_dir("tmp");
    env.push_back("VELOKIT_SIM_DIR=" + sim);
    env.push_back("TMPDIR=" + run.tmpdir);
    process_spec launch{
        {filter_binary, "42", "user", "title", "1", options}, queue, env, stdin_data};
    launch.sigpipe_ignored = sigpipe_ignored;
    if (!raster.empty())
        launch.argv.push_back(raster);
    run.result = process_run(launch);
    run.converter_started = file_exists(sim + "/argv");
    std::istringstream args(read_file(sim + "/argv"));
    for (std::string word; std::getline(args, word);)
        run.converter_argv.push_back(word);
    run.converter_input = read_file(sim + "/stdin");
    return run;
}

std::vector<std::string> words(const std::string &line)
{
    std::istringstream in(line);
    std::vector<std::string> result;
    for (std::string w; in >> w;)
        result.push_back(w);
    return result;
}
