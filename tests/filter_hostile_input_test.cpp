// Hostile input to the real rastertovelokit, from whoever controls it: job
// submitters (option text, raster) and queue administrators (the PPD). Shell
// syntax, over-long and non-UTF-8 values in every field, huge option texts,
// absurd raster headers and damaged streams. Every run ends with a clear
// message and a failure status, or with the right output; never with a
// command run, a crash or a hang.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include <cstddef>
#include <cstring>
#include <cups/cups.h>
#include <cups/ppd.h>
#include <cups/raster.h>
#include <gtest/gtest.h>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "filter_run.h"
#include "raster_writer.h"
#include "sandbox.h"

namespace
{

const std::string converter = "/usr/lib/cups/filter/velokit-filter";
// A shell would make one of these: the absolute one, or the relative one in
// the filter's working directory, which it inherits from this test.
const std::string canary = "/run/velokit-canary";
const std::string relative_canary = "velokit-canary";

// Shell syntax, with CMD standing for a command that makes the canary, and
// bytes that are not UTF-8.
const char *const hostile_forms[] = {
    ";CMD",     "|CMD",    "||CMD",    "&CMD",         "&&CMD",    "$(CMD)",   "`CMD`",
    "\nCMD",    "x\tCMD",  "'$(CMD)'", "\"$(CMD)\"",   ">CANARY",  ">>CANARY", "<(CMD)",
    ">(CMD)",   "(CMD)",   "{ CMD; }", "a=b CMD",      "$((1+1))", "${HOME}",  "$IFS",
    "*",        "?",       "[a-z]",    "~root",        "#CMD",     "!!",       "{a,b}",
    "a\\b",     "%s%n%x",  "-rf",      "--help",       "$'\\x41'", "\rCMD",    "x\\;CMD",
    "\xff\xfe", "caf\xe9", "\xc0\xaf", "\xed\xa0\x80", "\x80;CMD", "'q'\"d\"", "<CANARY",
};

std::string replace_all(std::string text, const std::string &from, const std::string &to)
{
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// The form with a real command in it; `keyword` makes it a PPD keyword,
// which holds no blank, colon or slash.
std::string hostile(const char *form, bool keyword = false)
{
    std::string text =
        replace_all(form, "CMD", keyword ? "touch${IFS}" + relative_canary : "touch " + canary);
    text = replace_all(text, "CANARY", keyword ? relative_canary : canary);
    if (!keyword)
        return text;
    std::string clean;
    for (char c : text)
        if (std::strchr(" \t\n\r:/", c) == nullptr)
            clean += c;
    return clean;
}

bool canary_made()
{
    return file_exists(canary) || file_exists(relative_canary);
}

// The words the converter gets: the line split where the shell would split
// it, at blanks, tabs and newlines.
std::vector<std::string> shell_words(const std::string &line)
{
    std::vector<std::string> result(1);
    for (char c : line) {
        if (std::strchr(" \t\n", c) == nullptr)
            result.back() += c;
        else if (!result.back().empty())
            result.emplace_back();
    }
    if (result.back().empty())
        result.pop_back();
    return result;
}

// Escapes a value for the option text, as the scheduler passes option values.
std::string escaped(const std::string &value)
{
    std::string out;
    for (char ch : value) {
        if (std::strchr(" \t\n\r\\'\"", ch) != nullptr)
            out += '\\';
        out += ch;
    }
    return out;
}

struct settings_text {
    std::string model = "ORVEX Inkjet Printer V1", media = "A4", ink = "COLOR", quality = "NORMAL";
};

// What the filter must do with these settings: "" and the converter's line,
// or the failure it must report.
struct outcome {
    std::string failure;
    std::string line;
};

outcome expected_outcome(const settings_text &s)
{
    for (const std::string *field : {&s.model, &s.ink, &s.quality, &s.media})
        if (field->size() > 255)
            return {"too long", ""};
    std::string line =
        converter + " " + s.model + " 10 3 " + s.ink + " " + s.media + " " + s.quality;
    if (line.size() > 255)
        return {"Converter command line is longer than 255 characters.", ""};
    return {"", line};
}

// The settings the job options give, read the way the filter must read
// them: through the library's own option parser.
outcome options_outcome(const std::string &options)
{
    cups_option_t *list = nullptr;
    int n = cupsParseOptions(options.c_str(), 0, &list);
    settings_text s;
    const char *media = nullptr;
    for (const char *name : {"PageSize", "PageRegion", "media"})
        if (media == nullptr)
            media = cupsGetOption(name, n, list);
    if (media != nullptr) {
        std::string value(media, std::strcspn(media, ","));
        if (value.size() > 40) {
            cupsFreeOptions(n, list);
            return {"Cannot read filter option. Cannot get option of VELO.", ""};
        }
        if (!value.empty())
            s.media = value;
    }
    for (auto [name, field] : {std::pair{"Ink", &s.ink}, {"Quality", &s.quality}}) {
        const char *value = cupsGetOption(name, n, list);
        if (value != nullptr && value[0] != '\0')
            *field = value;
    }
    cupsFreeOptions(n, list);
    return expected_outcome(s);
}

// Messages the filter may end a hostile job with; anything else is unclear.
const std::set<std::string> clear_failures = {
    "Cannot read filter option. Cannot get option of VELO.",
    "Ink option is longer than 255 characters.",
    "Quality option is longer than 255 characters.",
    "PPD file is broken. Cannot get option of VELO.",
    "PPD file has no *ModelName.",
    "PPD *ModelName is longer than 255 characters.",
    "Cannot open the PPD file of the queue.",
    "Converter command line is longer than 255 characters.",
    "Can't open CUPS raster file.",
    "cupsRasterReadPixels",
    "Raster row is too large.",
    "Cannot allocate the raster row area.",
};

void expect_clean_end(const filter_run &run)
{
    EXPECT_FALSE(run.result.timed_out) << "hung";
    EXPECT_EQ(run.result.signal, 0) << "crashed";
    EXPECT_EQ(run.result.out, "");
    EXPECT_FALSE(canary_made()) << "a command ran";
}

// Returns whether the job was to be printed.
bool expect_outcome(const filter_run &run, const outcome &want)
{
    expect_clean_end(run);
    if (!want.failure.empty()) {
        EXPECT_EQ(run.result.status, 1);
        EXPECT_EQ(clear_failures.count(run.result.err), 1U) << run.result.err;
        if (want.failure != "too long") {
            EXPECT_EQ(run.result.err, want.failure);
        }
        EXPECT_FALSE(run.converter_started);
        return false;
    }
    EXPECT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_EQ(run.result.err, "");
    EXPECT_EQ(run.converter_argv, shell_words(want.line));
    return true;
}

std::string raster_file(const std::string &bytes)
{
    static int n = 0;
    std::string path = make_test_dir("raster") + "/job" + std::to_string(n++) + ".ras";
    write_file(path, bytes);
    return path;
}

std::string raster_bytes(raster_kind kind, const std::vector<raster_page> &pages)
{
    std::string path = make_test_dir("raster") + "/made.ras";
    EXPECT_TRUE(raster_write_file(path, kind, pages));
    return read_file(path);
}

// Adds a choice to one of a test PPD's options.
std::string with_choice(std::string text, const std::string &option, const std::string &choice)
{
    std::string close = "*CloseUI: *" + option;
    std::size_t at = text.find(close);
    if (at != std::string::npos)
        text.insert(at, "*" + option + " " + choice + ": \"\"\n");
    return text;
}

// The settings the filter must take from a PPD: read by the library's PPD
// reader, the defaults looked up among their option's choices.
outcome ppd_outcome(const std::string &text)
{
    std::string path = make_test_dir("ppd") + "/oracle.ppd";
    write_file(path, text);
    ppd_file_t *ppd = ppdOpenFile(path.c_str());
    if (ppd == nullptr)
        return {"too long", ""};
    settings_text s;
    std::string failure;
    if (ppd->modelname == nullptr || ppd->modelname[0] == '\0')
        failure = "PPD file has no *ModelName.";
    else
        s.model = ppd->modelname;
    for (auto [keyword, field] :
         {std::pair{"PageSize", &s.media}, {"Ink", &s.ink}, {"Quality", &s.quality}}) {
        ppd_option_t *option = ppdFindOption(ppd, keyword);
        ppd_choice_t *choice = option ? ppdFindChoice(option, option->defchoice) : nullptr;
        if (choice == nullptr && failure.empty())
            failure = "PPD file is broken. Cannot get option of VELO.";
        else if (choice != nullptr)
            *field = choice->choice;
    }
    ppdClose(ppd);
    if (!failure.empty())
        return {s.model.size() > 255 ? "too long" : failure, ""};
    return expected_outcome(s);
}

class FilterHostileInput : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        scheduler_add_queue("vk", ppd_text({}));
    }
    void SetUp() override
    {
        require_sandbox();
        unlink(canary.c_str());
        unlink(relative_canary.c_str());
    }
};

const std::vector<raster_page> one_page = {{10, 3, 10}};

TEST_F(FilterHostileInput, OptionValuesReachTheConverterAsLiteralWords)
{
    std::string path = raster_file(raster_bytes(raster_kind::v3, one_page));
    std::vector<std::string> values;
    for (const char *form : hostile_forms)
        values.push_back(hostile(form));
    for (std::size_t size : {40, 41, 255, 256, 4096})
        values.push_back(std::string(size, 'v'));
    std::size_t printed = 0;
    for (const auto &value : values) {
        for (const char *name : {"Ink", "Quality", "media", "PageSize"}) {
            std::string options = std::string(name) + "=" + escaped(value);
            SCOPED_TRACE(options.substr(0, 80));
            printed += expect_outcome(run_filter("vk", options, path), options_outcome(options));
        }
    }
    // Every shell form fits its field: none may be refused.
    EXPECT_GE(printed, 4 * std::size(hostile_forms));
}

TEST_F(FilterHostileInput, HugeOptionTextsAreParsedWhole)
{
    std::string many;
    for (int i = 0; many.size() < 64 * 1024; i++)
        many += "opt" + std::to_string(i) + "=value" + std::to_string(i) + " ";
    std::mt19937 random(7);
    std::string noise;
    while (noise.size() < 64 * 1024) {
        char c = static_cast<char>(random() % 255 + 1);
        noise += c;
    }
    std::string path = raster_file(raster_bytes(raster_kind::v3, one_page));
    for (const std::string &options :
         {many + "Ink=MONO Quality=PHOTO media=Letter", "Ink=MONO " + many, noise,
          noise + " Ink=MONO", std::string(64 * 1024, '='), std::string(64 * 1024, ' ')}) {
        SCOPED_TRACE(options.substr(0, 40));
        expect_outcome(run_filter("vk", options, path), options_outcome(options));
    }
}

TEST_F(FilterHostileInput, PpdModelAndDefaultsReachTheConverterAsLiteralWords)
{
    struct ppd_case {
        std::string model, page_size, ink, quality;
    };
    std::vector<ppd_case> cases;
    for (const char *form : hostile_forms) {
        std::string key = hostile(form, true);
        cases.push_back({"ORVEX " + hostile(form), key, key, key});
    }
    for (std::size_t size : {255, 256, 4096}) {
        std::string long_text(size, 'm');
        cases.push_back({long_text, "A4", "COLOR", "NORMAL"});
        cases.push_back({"ORVEX", long_text, "COLOR", "NORMAL"});
        cases.push_back({"ORVEX", "A4", "COLOR", long_text});
    }
    std::string path = raster_file(raster_bytes(raster_kind::v3, one_page));
    int n = 0;
    std::size_t printed = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.model.substr(0, 60) + " / " + c.page_size.substr(0, 60));
        test_ppd ppd;
        // A quote ends the PPD's quoted text; everything else may stand in it.
        ppd.model = replace_all(c.model, "\"", "'");
        ppd.default_page_size = c.page_size;
        ppd.default_ink = c.ink;
        ppd.default_quality = c.quality;
        std::string text = with_choice(ppd_text(ppd), "PageSize", c.page_size);
        text = with_choice(text, "Ink", c.ink);
        text = with_choice(text, "Quality", c.quality);
        // lpadmin refuses some of these, but the administrator can still put
        // them in place of a queue's PPD, and the scheduler serves them as
        // they stand.
        std::string queue = "vk_hostile" + std::to_string(n++);
        scheduler_add_queue(queue, ppd_text({}));
        write_file(scheduler().dir + "/etc/ppd/" + queue + ".ppd", text);
        printed += expect_outcome(run_filter(queue, "", path), ppd_outcome(text));
    }
    // The PPD reader itself refuses a few of the forms as keywords (quotes,
    // braces); at least 30 must print.
    EXPECT_GE(printed, 30U);
}

// A one-page raster whose header claims these sizes, with a few rows of
// data after it; the kinds differ in how the rows are read.
std::string absurd_raster(raster_kind kind, std::uint32_t width, std::uint32_t height,
                          std::uint32_t bytes_per_line)
{
    std::string bytes = raster_bytes(kind, {{16, 4, 16}});
    for (auto [offset, value] : {std::pair{offsetof(cups_page_header2_t, cupsWidth), width},
                                 {offsetof(cups_page_header2_t, cupsHeight), height},
                                 {offsetof(cups_page_header2_t, cupsBytesPerLine), bytes_per_line}})
        std::memcpy(bytes.data() + 4 + offset, &value, sizeof(value));
    return raster_file(bytes);
}

TEST_F(FilterHostileInput, AbsurdPageHeadersEndCleanly)
{
    const std::uint32_t bytes_per_line[] = {0,          1,          3,          0x3fffffff,
                                            0x7fffffff, 0x80000000, 0xfffffffc, 0xffffffff};
    const std::pair<std::uint32_t, std::uint32_t> sizes[] = {
        {16, 4}, {0, 0}, {0x7fffffff, 1}, {1, 0x7fffffff}, {0xffffffff, 0xffffffff}};
    // Compressed rows can expand a few bytes into a whole row of any size,
    // so only uncompressed streams claim absurd rows here.
    const std::vector<std::uint32_t> compressed_bytes_per_line = {16};
    for (raster_kind kind : {raster_kind::v3_raw, raster_kind::v2, raster_kind::v1}) {
        const auto &bpls =
            kind == raster_kind::v2
                ? compressed_bytes_per_line
                : std::vector<std::uint32_t>(std::begin(bytes_per_line), std::end(bytes_per_line));
        for (auto [width, height] : sizes) {
            for (std::uint32_t bpl : bpls) {
                SCOPED_TRACE(std::to_string(static_cast<int>(kind)) + ": " + std::to_string(width) +
                             "x" + std::to_string(height) + ", " + std::to_string(bpl) +
                             " bytes per line");
                filter_run run = run_filter("vk", "", absurd_raster(kind, width, height, bpl));
                expect_clean_end(run);
                if (run.result.status != 0) {
                    EXPECT_EQ(run.result.status, 1);
                    EXPECT_EQ(clear_failures.count(run.result.err), 1U) << run.result.err;
                    continue;
                }
                // Whole rows of the page's stride, and the page's size on the
                // converter's command line as the format prints it.
                std::size_t stride = (static_cast<std::uint64_t>(bpl) + 3) / 4 * 4;
                EXPECT_TRUE(stride == 0 || run.converter_input.size() % stride == 0);
                if (run.converter_started) {
                    ASSERT_EQ(run.converter_argv.size(), 10U);
                    EXPECT_EQ(run.converter_argv[5], std::to_string(static_cast<int>(width)));
                    EXPECT_EQ(run.converter_argv[6], std::to_string(static_cast<int>(height)));
                }
            }
        }
    }
}

TEST_F(FilterHostileInput, CutAndDamagedStreamsEndCleanly)
{
    const std::vector<raster_page> pages = {{64, 6, 64}, {33, 5, 33}, {128, 3, 128}};
    std::mt19937 random(11);
    for (raster_kind kind : {raster_kind::v2, raster_kind::v3, raster_kind::v1}) {
        std::string whole = raster_bytes(kind, pages);
        std::vector<std::string> streams;
        for (int i = 0; i < 12; i++)
            streams.push_back(whole.substr(0, random() % whole.size()));
        for (int i = 0; i < 12; i++) {
            std::string damaged = whole;
            for (int flips = 1 + random() % 4; flips > 0; flips--)
                damaged[random() % damaged.size()] = static_cast<char>(random());
            streams.push_back(damaged);
        }
        for (const auto &bytes : streams) {
            SCOPED_TRACE(std::to_string(static_cast<int>(kind)) + ", " +
                         std::to_string(bytes.size()) + " bytes");
            filter_run run = run_filter("vk", "", raster_file(bytes));
            expect_clean_end(run);
            EXPECT_TRUE(run.result.status == 0 || run.result.status == 1);
            EXPECT_TRUE(run.result.status == 0 ? run.result.err.empty()
                                               : clear_failures.count(run.result.err) == 1)
                << run.result.err;
            EXPECT_EQ(run.converter_input.size() % 4, 0U);
        }
    }
}

} // namespace
