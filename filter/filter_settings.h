// The four settings a job hands to the print converter, and how they are settled.
#pragma once

#include <cstddef>

struct ppd_file_s;

// Fixed text areas: at most 255 bytes of text and a terminator.
constexpr std::size_t setting_size = 256;
// A media name taken from the job options may be at most this long.
constexpr std::size_t media_option_max = 40;

struct filter_settings {
    char model[setting_size];
    char ink[setting_size];
    char media[setting_size];
    char quality[setting_size];
};

// The areas themselves (filter_settings.cpp, in velokit_converter).
void settings_clear(filter_settings *settings);

// Copies len bytes of text into a setting; false if they do not fit.
bool setting_store(char *field, const char *text, std::size_t len);

// The filter's own settling (job_options.cpp, queue_ppd.cpp). Each of these
// returns nullptr when it succeeded, or the message to report before the
// filter exits with status 1.
const char *settings_from_options(filter_settings *settings, const char *option_text);
const char *settings_from_ppd(filter_settings *settings, ppd_file_s *ppd);
const char *settings_from_queue(filter_settings *settings, const char *queue);

const char *ppd_default_choice(ppd_file_s *ppd, const char *keyword);
