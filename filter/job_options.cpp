// Settings that the job's own options supply.
#include "filter_settings.h"

#include <cstring>
#include <cups/cups.h>
#include <initializer_list>

// The first media option present decides, even when its value is empty:
// the scheduler sends PageSize and PageRegion together, and PageSize wins.
static const char *media_option(int num_options, cups_option_t *options)
{
    for (const char *name : {"PageSize", "PageRegion", "media"}) {
        if (const char *value = cupsGetOption(name, num_options, options))
            return value;
    }
    return nullptr;
}

const char *settings_from_options(filter_settings *settings, const char *option_text)
{
    if (option_text[0] == '\0')
        return nullptr;

    // One list per process, kept until the process ends (the filter runs
    // once per job); a later call, which only tests make, replaces it.
    static cups_option_t *options = nullptr;
    static int num_options = 0;
    cupsFreeOptions(num_options, options);
    options = nullptr;
    num_options = cupsParseOptions(option_text, 0, &options);

    if (const char *media = media_option(num_options, options)) {
        std::size_t len = std::strcspn(media, ",");
        if (len > media_option_max)
            return "Cannot read filter option. Cannot get option of VELO.";
        setting_store(settings->media, media, len);
    }
    if (const char *ink = cupsGetOption("Ink", num_options, options)) {
        if (!setting_store(settings->ink, ink, std::strlen(ink)))
            return "Ink option is longer than 255 characters.";
    }
    if (const char *quality = cupsGetOption("Quality", num_options, options)) {
        if (!setting_store(settings->quality, quality, std::strlen(quality)))
            return "Quality option is longer than 255 characters.";
    }
    return nullptr;
}
