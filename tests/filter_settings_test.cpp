// How the four settings are settled from the job's options and the PPD.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include <cstring>
#include <cups/ppd.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "converter.h"
#include "filter_settings.h"
#include "raster_stream.h"
#include "sandbox.h"

namespace
{

const char *const too_long_media = "Cannot read filter option. Cannot get option of VELO.";
const char *const broken_ppd = "PPD file is broken. Cannot get option of VELO.";

struct options_case {
    const char *options;
    const char *media, *ink, *quality; // expected settings
    const char *failure;               // expected message, or nullptr
};

const std::string a40(40, 'a'), a41(41, 'a'), a255(255, 'x'), a256(256, 'x');
const std::string media40 = "PageSize=" + a40 + ",more";
const std::string media41 = "media=" + a41;
const std::string ink255 = "Ink=" + a255, ink256 = "Ink=" + a256;
const std::string quality256 = "Quality=" + a256;

const options_case options_cases[] = {
    {"", "", "", "", nullptr},
    {"PageSize=A4 PageRegion=Letter media=Legal", "A4", "", "", nullptr},
    {"PageRegion=Letter media=Legal", "Letter", "", "", nullptr},
    {"media=Legal", "Legal", "", "", nullptr},
    {"pagesize=A5", "A5", "", "", nullptr},         // option names match without regard to case
    {"PageSize= media=Legal", "", "", "", nullptr}, // present but empty still ends the search
    {"media=A4,Glossy,Tray1", "A4", "", "", nullptr},
    {"media=,A4", "", "", "", nullptr},
    {media40.c_str(), a40.c_str(), "", "", nullptr},
    {media41.c_str(), "", "", "", too_long_media},
    {"Ink=MONO Quality=PHOTO", "", "MONO", "PHOTO", nullptr},
    {"Ink=a,b Quality=c,d", "", "a,b", "c,d", nullptr}, // taken whole, commas included
    {"Ink='two words'", "", "two words", "", nullptr},
    {ink255.c_str(), "", a255.c_str(), "", nullptr},
    {ink256.c_str(), "", "", "", "Ink option is longer than 255 characters."},
    {quality256.c_str(), "", "", "", "Quality option is longer than 255 characters."},
};

TEST(FilterSettings, FromJobOptions)
{
    for (const auto &c : options_cases) {
        SCOPED_TRACE(c.options);
        filter_settings s;
        settings_clear(&s);
        const char *failure = settings_from_options(&s, c.options);
        if (c.failure != nullptr) {
            EXPECT_STREQ(failure, c.failure);
            continue;
        }
        EXPECT_EQ(failure, nullptr);
        EXPECT_STREQ(s.media, c.media);
        EXPECT_STREQ(s.ink, c.ink);
        EXPECT_STREQ(s.quality, c.quality);
        EXPECT_STREQ(s.model, "");
    }
}

struct ppd_case {
    const char *name;
    test_ppd ppd;
    const char *options;
    const char *model, *media, *ink, *quality;
    const char *failure;
};

test_ppd with(void (*change)(test_ppd &))
{
    test_ppd p;
    change(p);
    return p;
}

const ppd_case ppd_cases[] = {
    {"defaults fill empty fields",
     {},
     "",
     "ORVEX Inkjet Printer V1",
     "A4",
     "COLOR",
     "NORMAL",
     nullptr},
    {"options win over defaults",
     {},
     "PageRegion=Letter Ink=MONO Quality=PHOTO",
     "ORVEX Inkjet Printer V1",
     "Letter",
     "MONO",
     "PHOTO",
     nullptr},
    {"empty media option is filled from PageSize",
     {},
     "PageSize= media=Legal",
     "ORVEX Inkjet Printer V1",
     "A4",
     "COLOR",
     "NORMAL",
     nullptr},
    {"model keeps its case", with([](test_ppd &p) { p.model = "orvex MiXeD"; }), "", "orvex MiXeD",
     "A4", "COLOR", "NORMAL", nullptr},
    {"unlisted Ink default", with([](test_ppd &p) { p.default_ink = "GOLD"; }), "", "", "", "", "",
     broken_ppd},
    {"unlisted Ink default unused when the job names one",
     with([](test_ppd &p) { p.default_ink = "GOLD"; }), "Ink=MONO", "ORVEX Inkjet Printer V1", "A4",
     "MONO", "NORMAL", nullptr},
    {"empty Ink option counts as absent", with([](test_ppd &p) { p.default_ink = "GOLD"; }),
     "Ink=", "", "", "", "", broken_ppd},
    {"no PageSize option", with([](test_ppd &p) { p.page_size = false; }), "", "", "", "", "",
     broken_ppd},
    {"no Quality default", with([](test_ppd &p) { p.default_quality = ""; }), "", "", "", "", "",
     broken_ppd},
    {"no model", with([](test_ppd &p) { p.model = ""; }), "", "", "", "", "",
     "PPD file has no *ModelName."},
};

TEST(FilterSettings, FromPpdDefaults)
{
    std::string path = "/tmp/velokit-settings-test-" + std::to_string(getpid()) + ".ppd";
    for (const auto &c : ppd_cases) {
        SCOPED_TRACE(c.name);
        write_file(path, ppd_text(c.ppd));
        ppd_file_t *ppd = ppdOpenFile(path.c_str());
        ASSERT_NE(ppd, nullptr);
        filter_settings s;
        settings_clear(&s);
        ASSERT_EQ(settings_from_options(&s, c.options), nullptr);
        const char *failure = settings_from_ppd(&s, ppd);
        ppdClose(ppd);
        if (c.failure != nullptr) {
            EXPECT_STREQ(failure, c.failure);
            continue;
        }
        EXPECT_EQ(failure, nullptr);
        EXPECT_STREQ(s.model, c.model);
        EXPECT_STREQ(s.media, c.media);
        EXPECT_STREQ(s.ink, c.ink);
        EXPECT_STREQ(s.quality, c.quality);
    }
    unlink(path.c_str());
}

TEST(FilterSettings, PpdDefaultChoiceNamesOnlyListedChoices)
{
    std::string path = "/tmp/velokit-choice-test-" + std::to_string(getpid()) + ".ppd";
    write_file(path, ppd_text(with([](test_ppd &p) { p.default_ink = "GOLD"; })));
    ppd_file_t *ppd = ppdOpenFile(path.c_str());
    ASSERT_NE(ppd, nullptr);
    EXPECT_STREQ(ppd_default_choice(ppd, "PageSize"), "A4");
    EXPECT_EQ(ppd_default_choice(ppd, "Ink"), nullptr);
    EXPECT_EQ(ppd_default_choice(ppd, "Duplex"), nullptr);
    ppdClose(ppd);
    unlink(path.c_str());
}

TEST(ConverterCommandLine, FormatsAndSplitsLikeTheShell)
{
    filter_settings s;
    settings_clear(&s);
    std::strcpy(s.model, "ORVEX  Inkjet\tV1");
    std::strcpy(s.ink, "COLOR");
    std::strcpy(s.media, "A4");
    std::strcpy(s.quality, "x\ny");
    char line[command_line_size];
    ASSERT_TRUE(converter_command_line(line, &s, 4960, 0xffffffffU));
    EXPECT_STREQ(line,
                 "/usr/lib/cups/filter/velokit-filter ORVEX  Inkjet\tV1 4960 -1 COLOR A4 x\ny");
    char *words[130];
    ASSERT_EQ(converter_words(line, words, 130), 10);
    const char *expected[] = {"/usr/lib/cups/filter/velokit-filter",
                              "ORVEX",
                              "Inkjet",
                              "V1",
                              "4960",
                              "-1",
                              "COLOR",
                              "A4",
                              "x",
                              "y"};
    for (int i = 0; i < 10; i++)
        EXPECT_STREQ(words[i], expected[i]) << i;
    EXPECT_EQ(words[10], nullptr);
}

TEST(ConverterCommandLine, RefusesALineThatDoesNotFit)
{
    filter_settings s;
    settings_clear(&s);
    // 36 bytes of path and blank, 6 blanks in all, "1 1": the model gets what is left.
    std::string fits(255 - std::strlen("/usr/lib/cups/filter/velokit-filter  1 1 a b c"), 'm');
    std::strcpy(s.model, fits.c_str());
    std::strcpy(s.ink, "a");
    std::strcpy(s.media, "b");
    std::strcpy(s.quality, "c");
    char line[command_line_size];
    EXPECT_TRUE(converter_command_line(line, &s, 1, 1));
    EXPECT_EQ(std::strlen(line), 255U);
    EXPECT_FALSE(converter_command_line(line, &s, 10, 1));
}

TEST(RowStride, RoundsUpToFourBytesInSixtyFourBits)
{
    const std::pair<std::uint32_t, std::uint64_t> cases[] = {{0, 0},
                                                             {1, 4},
                                                             {3, 4},
                                                             {4, 4},
                                                             {5, 8},
                                                             {4960, 4960},
                                                             {0x7fffffffU, 0x80000000ULL},
                                                             {0xffffffffU, 0x100000000ULL}};
    for (auto [bpl, stride] : cases)
        EXPECT_EQ(row_stride(bpl), stride) << bpl;
}

} // namespace
