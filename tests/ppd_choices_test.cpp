// The driver's own PPD files with the real filter: every choice of every
// option the filter reads reaches the converter as exactly one word, in its
// place on the command line, and the PPD defaults fill what the job leaves.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include <algorithm>
#include <cups/ppd.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "filter_run.h"
#include "raster_writer.h"
#include "sandbox.h"

namespace
{

const std::string ppd_dir = VELOKIT_PPD_BUILD_DIR;
const std::string converter = "/usr/lib/cups/filter/velokit-filter";

struct ppd_option_choices {
    std::string keyword;
    std::string default_choice;
    std::vector<std::string> choices;
};

struct model_ppd {
    std::string file;
    std::string model;
    std::vector<ppd_option_choices> options; // PageSize, PageRegion, Ink, Quality
};

model_ppd read_model_ppd(const std::string &file)
{
    model_ppd result{file};
    ppd_file_t *ppd = ppdOpenFile((ppd_dir + "/" + file).c_str());
    if (ppd == nullptr)
        return result;
    result.model = ppd->modelname != nullptr ? ppd->modelname : "";
    for (const char *keyword : {"PageSize", "PageRegion", "Ink", "Quality"}) {
        ppd_option_t *option = ppdFindOption(ppd, keyword);
        if (option == nullptr)
            continue;
        ppd_option_choices o{keyword, option->defchoice};
        for (int i = 0; i < option->num_choices; i++)
            o.choices.push_back(option->choices[i].choice);
        result.options.push_back(o);
    }
    ppdClose(ppd);
    return result;
}

std::vector<std::string> ppd_files()
{
    std::vector<std::string> files;
    DIR *dir = opendir(ppd_dir.c_str());
    for (dirent *e; dir != nullptr && (e = readdir(dir)) != nullptr;) {
        std::string name = e->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".ppd") == 0)
            files.push_back(name);
    }
    if (dir != nullptr)
        closedir(dir);
    std::sort(files.begin(), files.end());
    return files;
}

const ppd_option_choices *find_option(const model_ppd &ppd, const std::string &keyword)
{
    for (const auto &o : ppd.options) {
        if (o.keyword == keyword)
            return &o;
    }
    return nullptr;
}

// The converter's words: the model's words, the page size, ink, media and
// quality.
std::vector<std::string> converter_words(const model_ppd &ppd, const std::string &ink,
                                         const std::string &media, const std::string &quality)
{
    std::vector<std::string> argv = {converter};
    for (const auto &w : words(ppd.model))
        argv.push_back(w);
    argv.insert(argv.end(), {"10", "3", ink, media, quality});
    return argv;
}

class PpdChoices : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        require_sandbox();
    }
};

TEST_F(PpdChoices, EveryChoiceReachesTheConverterAsOneWord)
{
    std::string raster = make_test_dir("raster") + "/page.ras";
    ASSERT_TRUE(raster_write_file(raster, raster_kind::v3, {{10, 3, 30}}));
    std::vector<std::string> files = ppd_files();
    EXPECT_EQ(files, (std::vector<std::string>{"orvexv1.ppd", "orvexv2.ppd", "orvexv3.ppd"}));

    for (const auto &file : files) {
        SCOPED_TRACE(file);
        model_ppd ppd = read_model_ppd(file);
        ASSERT_FALSE(ppd.model.empty());
        ASSERT_EQ(ppd.options.size(), 4u) << "PageSize, PageRegion, Ink and Quality";
        std::string queue = "q_" + file.substr(0, file.find('.'));
        scheduler_add_queue(queue, read_file(ppd_dir + "/" + file));

        std::string ink = find_option(ppd, "Ink")->default_choice;
        std::string media = find_option(ppd, "PageSize")->default_choice;
        std::string quality = find_option(ppd, "Quality")->default_choice;
        filter_run defaults = run_filter(queue, "", raster);
        EXPECT_EQ(defaults.result.status, 0) << defaults.result.err;
        EXPECT_EQ(defaults.converter_argv, converter_words(ppd, ink, media, quality));

        for (const auto &option : ppd.options) {
            EXPECT_GE(option.choices.size(), 2u) << option.keyword;
            for (const auto &choice : option.choices) {
                SCOPED_TRACE(option.keyword + "=" + choice);
                filter_run run = run_filter(queue, option.keyword + "=" + choice, raster);
                EXPECT_EQ(run.result.status, 0) << run.result.err;
                std::vector<std::string> expected =
                    option.keyword == "Ink"       ? converter_words(ppd, choice, media, quality)
                    : option.keyword == "Quality" ? converter_words(ppd, ink, media, choice)
                                                  : converter_words(ppd, ink, choice, quality);
                EXPECT_EQ(run.converter_argv, expected);
            }
        }
    }
}

} // namespace
