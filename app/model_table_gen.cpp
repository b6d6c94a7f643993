// Build-time generator of the printer application's model table: reads the
// PPD files compiled from the driver information file and writes the C++
// table of models.h, so the media, inks and qualities of the application are
// those of the classic driver, never a second list.
//
//   velokit-model-table OUTPUT.cpp FILE.ppd...
//
// The PPD interface is the only PPD reader of libcups 2.x and is marked
// deprecated there.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cups/cups.h>
#include <cups/ppd.h>
#include <string>
#include <vector>

struct quality_choice {
    std::string keyword;
    int dpi;
};

[[noreturn]] static void fail(const std::string &ppd, const std::string &what)
{
    std::fprintf(stderr, "velokit-model-table: %s: %s\n", ppd.c_str(), what.c_str());
    std::exit(1);
}

static std::string quoted(const char *text)
{
    std::string out = "\"";
    for (const char *p = text; *p != '\0'; p++) {
        if (*p == '"' || *p == '\\')
            out += '\\';
        out += *p;
    }
    return out + "\"";
}

static int hundredths_mm(float points)
{
    return static_cast<int>(std::lround(points * 2540.0 / 72.0));
}

// orvex_v1 from "ORVEX Inkjet Printer V1": the model name without the words
// every model shares, in lower case, joined by underscores.
static std::string driver_name(const char *model_name)
{
    std::string name;
    char words[256];
    std::snprintf(words, sizeof(words), "%s", model_name);
    for (char *save = nullptr, *w = strtok_r(words, " ", &save); w != nullptr;
         w = strtok_r(nullptr, " ", &save)) {
        std::string word = w;
        std::transform(word.begin(), word.end(), word.begin(), [](unsigned char c) {
            return std::isalnum(c) != 0 ? std::tolower(c) : '_';
        });
        if (word == "inkjet" || word == "printer")
            continue;
        name += (name.empty() ? "" : "_") + word;
    }
    return name;
}

// The decimal number right after prefix at text, or -1; *end is set past it.
static long number_after(const char *text, const char *prefix, char **end = nullptr)
{
    std::size_t len = std::strlen(prefix);
    if (std::strncmp(text, prefix, len) != 0)
        return -1;
    char *stop = nullptr;
    long n = std::strtol(text + len, &stop, 10);
    if (stop == text + len)
        return -1;
    if (end != nullptr)
        *end = stop;
    return n;
}

static int choice_index(ppd_option_t *option)
{
    for (int i = 0; i < option->num_choices; i++) {
        if (std::strcmp(option->choices[i].choice, option->defchoice) == 0)
            return i;
    }
    return -1;
}

static std::string media_table(const std::string &path, ppd_file_t *ppd, const std::string &id,
                               int *count, int *default_index)
{
    ppd_option_t *option = ppdFindOption(ppd, "PageSize");
    if (option == nullptr)
        fail(path, "no PageSize option");
    std::string out = "static const model_media " + id + "_media[] = {\n";
    *count = 0;
    *default_index = -1;
    for (int i = 0; i < option->num_choices; i++) {
        const char *keyword = option->choices[i].choice;
        ppd_size_t *size = ppdPageSize(ppd, keyword);
        if (size == nullptr)
            fail(path, std::string("no size for PageSize ") + keyword);
        int width = hundredths_mm(size->width);
        int length = hundredths_mm(size->length);
        pwg_media_t *pwg = pwgMediaForSize(width, length);
        if (pwg == nullptr || pwg->pwg == nullptr)
            fail(path, std::string("no IPP media name for ") + keyword);
        if (std::strcmp(keyword, option->defchoice) == 0)
            *default_index = *count;
        char line[512];
        std::snprintf(line, sizeof(line), "    {%s, %s, %d, %d, %g, %g, %g, %g, %g, %g},\n",
                      quoted(keyword).c_str(), quoted(pwg->pwg).c_str(), pwg->width, pwg->length,
                      size->width, size->length, size->left, size->bottom, size->right, size->top);
        out += line;
        ++*count;
    }
    if (*default_index < 0)
        fail(path, "the PageSize default is not among its choices");
    return out + "};\n";
}

// COLOR and MONO from the raster their code asks for: RGB or gray, 8 bits.
static std::string ink_table(const std::string &path, ppd_file_t *ppd, const std::string &id,
                             int *count, int *default_index)
{
    ppd_option_t *option = ppdFindOption(ppd, "Ink");
    if (option == nullptr)
        fail(path, "no Ink option");
    std::string out = "static const model_ink " + id + "_inks[] = {\n";
    for (int i = 0; i < option->num_choices; i++) {
        const char *code = option->choices[i].code;
        const char *space = code != nullptr ? std::strstr(code, "/cupsColorSpace ") : nullptr;
        long color_space = space != nullptr ? number_after(space, "/cupsColorSpace ") : -1;
        if (color_space != CUPS_CSPACE_W && color_space != CUPS_CSPACE_RGB)
            fail(path,
                 std::string("Ink ") + option->choices[i].choice + " is neither RGB nor gray");
        out += "    {" + quoted(option->choices[i].choice) + ", " +
               (color_space == CUPS_CSPACE_RGB ? "true" : "false") + "},\n";
    }
    *count = option->num_choices;
    *default_index = choice_index(option);
    if (*default_index < 0)
        fail(path, "the Ink default is not among its choices");
    return out + "};\n";
}

static std::string quality_table(const std::string &path, ppd_file_t *ppd, const std::string &id,
                                 int *count, int *default_index)
{
    ppd_option_t *option = ppdFindOption(ppd, "Quality");
    if (option == nullptr)
        fail(path, "no Quality option");
    std::vector<quality_choice> qualities;
    for (int i = 0; i < option->num_choices; i++) {
        const char *code = option->choices[i].code;
        const char *res = code != nullptr ? std::strstr(code, "/HWResolution[") : nullptr;
        char *end = nullptr;
        long x = res != nullptr ? number_after(res, "/HWResolution[", &end) : -1;
        long y = end != nullptr ? number_after(end, " ") : -1;
        if (x != y || x <= 0 || x > 100000)
            fail(path, std::string("Quality ") + option->choices[i].choice +
                           " has no square HWResolution");
        qualities.push_back({option->choices[i].choice, static_cast<int>(x)});
    }
    // PAPPL maps print-quality draft, normal and high onto the first, middle
    // and last resolution, and holds at most four.
    if (qualities.empty() || qualities.size() > 4)
        fail(path, "Quality needs one to four choices");
    std::sort(qualities.begin(), qualities.end(),
              [](const quality_choice &a, const quality_choice &b) { return a.dpi < b.dpi; });
    std::string out = "static const model_quality " + id + "_qualities[] = {\n";
    *default_index = -1;
    for (std::size_t i = 0; i < qualities.size(); i++) {
        out += "    {" + quoted(qualities[i].keyword.c_str()) + ", " +
               std::to_string(qualities[i].dpi) + "},\n";
        if (qualities[i].keyword == option->defchoice)
            *default_index = static_cast<int>(i);
    }
    *count = static_cast<int>(qualities.size());
    if (*default_index < 0)
        fail(path, "the Quality default is not among its choices");
    return out + "};\n";
}

static std::string model_entry(const std::string &path, std::string *tables)
{
    ppd_file_t *ppd = ppdOpenFile(path.c_str());
    if (ppd == nullptr)
        fail(path, "cannot be read");
    if (ppd->modelname == nullptr || ppd->modelname[0] == '\0')
        fail(path, "no *ModelName");
    std::string name = driver_name(ppd->modelname);
    int media = 0;
    int def_media = 0;
    int inks = 0;
    int def_ink = 0;
    int qualities = 0;
    int def_quality = 0;
    *tables += media_table(path, ppd, name, &media, &def_media);
    *tables += ink_table(path, ppd, name, &inks, &def_ink);
    *tables += quality_table(path, ppd, name, &qualities, &def_quality);
    std::string entry = "    {" + quoted(name.c_str()) + ", " + quoted(ppd->modelname) + ", " +
                        quoted(ppd->nickname != nullptr ? ppd->nickname : ppd->modelname) + ", " +
                        std::to_string(ppd->throughput) + ",\n     " + name + "_media, " +
                        std::to_string(media) + ", " + std::to_string(def_media) + ", " + name +
                        "_inks, " + std::to_string(inks) + ", " + std::to_string(def_ink) + ", " +
                        name + "_qualities, " + std::to_string(qualities) + ", " +
                        std::to_string(def_quality) + "},\n";
    ppdClose(ppd);
    return entry;
}

int main(int argc, char *argv[])
{
    if (argc < 3) {
        std::fputs("usage: velokit-model-table OUTPUT.cpp FILE.ppd...\n", stderr);
        return 2;
    }
    std::string tables;
    std::string entries;
    for (int i = 2; i < argc; i++)
        entries += model_entry(argv[i], &tables);

    std::string text = "// Generated by velokit-model-table from the compiled PPD files.\n"
                       "#include \"models.h\"\n\n" +
                       tables + "\nconst model_info app_models[] = {\n" + entries +
                       "};\nconst int app_num_models = " + std::to_string(argc - 2) + ";\n";
    FILE *out = std::fopen(argv[1], "w");
    if (out == nullptr || std::fputs(text.c_str(), out) < 0 || std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
