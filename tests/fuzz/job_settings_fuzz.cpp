// Job option text and PPD defaults, as submitters and queue administrators
// write them, through filter_settings to the converter's argument words.
//
// Input: 4 bytes width, 4 bytes height, then NUL-separated fields: the
// option text, *ModelName, and the defaults of PageSize, Ink and Quality.
// A missing field leaves that line or option out of the PPD.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cups/ppd.h>
#include <string>
#include <vector>

#include "converter.h"
#include "filter_settings.h"

namespace
{

void check(bool condition)
{
    if (!condition)
        std::abort();
}

std::vector<std::string> split_fields(const std::uint8_t *data, std::size_t size)
{
    std::vector<std::string> fields;
    std::string text(reinterpret_cast<const char *>(data), size);
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1)
        fields.push_back(text.substr(start, end - start));
    fields.push_back(text.substr(start));
    return fields;
}

std::string ppd_option(const char *keyword, const std::vector<std::string> &fields,
                       std::size_t index)
{
    if (index >= fields.size())
        return "";
    std::string k = keyword;
    return "*OpenUI *" + k + ": PickOne\n*Default" + k + ": " + fields[index] + "\n*" + k + " " +
           fields[index] + ": \"\"\n*" + k + " Other: \"\"\n*CloseUI: *" + k + "\n";
}

std::string ppd_text(const std::vector<std::string> &fields)
{
    std::string text = "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*LanguageVersion: English\n"
                       "*LanguageEncoding: ISOLatin1\n";
    if (fields.size() > 1)
        text += "*ModelName: \"" + fields[1] + "\"\n";
    return text + ppd_option("PageSize", fields, 2) + ppd_option("Ink", fields, 3) +
           ppd_option("Quality", fields, 4);
}

ppd_file_t *open_ppd(const std::string &text)
{
    FILE *file = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    check(file != nullptr);
    ppd_file_t *ppd = ppdOpen(file);
    std::fclose(file);
    return ppd;
}

bool field_ok(const char *field)
{
    return std::memchr(field, '\0', setting_size) != nullptr;
}

// The shell's own reading of the line: words are the runs between blanks.
std::vector<std::string> shell_words(const std::string &line)
{
    std::vector<std::string> words;
    std::string word;
    for (char c : line + " ") {
        if (c == ' ' || c == '\t' || c == '\n') {
            if (!word.empty())
                words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    return words;
}

void check_command_line(const filter_settings *s, unsigned width, unsigned height)
{
    std::string expected = std::string(converter_dir) + "/velokit-filter " + s->model + " " +
                           std::to_string(static_cast<int>(width)) + " " +
                           std::to_string(static_cast<int>(height)) + " " + s->ink + " " +
                           s->media + " " + s->quality;
    char line[command_line_size];
    if (!converter_command_line(line, s, width, height)) {
        check(expected.size() >= command_line_size);
        return;
    }
    check(expected.size() < command_line_size && expected == line);

    constexpr int max_words = command_line_size / 2 + 1;
    char *words[max_words];
    int count = converter_words(line, words, max_words);
    std::vector<std::string> want = shell_words(expected);
    check(count == static_cast<int>(want.size()) && words[count] == nullptr);
    for (int i = 0; i < count; i++)
        check(want[i] == words[i]);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 8)
        return 0;
    std::uint32_t width = 0, height = 0;
    std::memcpy(&width, data, 4);
    std::memcpy(&height, data + 4, 4);
    std::vector<std::string> fields = split_fields(data + 8, size - 8);

    filter_settings s;
    settings_clear(&s);
    const char *failure = settings_from_options(&s, fields[0].c_str());
    check(field_ok(s.model) && field_ok(s.ink) && field_ok(s.media) && field_ok(s.quality));
    check(std::strlen(s.media) <= media_option_max && std::strchr(s.media, ',') == nullptr);
    check(s.model[0] == '\0');
    if (failure != nullptr)
        return 0;

    ppd_file_t *ppd = open_ppd(ppd_text(fields));
    if (ppd == nullptr)
        return 0;
    failure = settings_from_ppd(&s, ppd);
    check(field_ok(s.model) && field_ok(s.ink) && field_ok(s.media) && field_ok(s.quality));
    if (failure == nullptr) {
        check(std::strcmp(s.model, ppd->modelname) == 0);
        check(s.media[0] != '\0' && s.ink[0] != '\0' && s.quality[0] != '\0');
    }
    ppdClose(ppd);
    if (failure == nullptr)
        check_command_line(&s, width, height);
    return 0;
}
