// The settings' own text areas, shared with every program that starts the
// converter; how a job's values are found is each program's affair.
#include "filter_settings.h"

#include <cstring>

void settings_clear(filter_settings *settings)
{
    settings->model[0] = '\0';
    settings->ink[0] = '\0';
    settings->media[0] = '\0';
    settings->quality[0] = '\0';
}

bool setting_store(char *field, const char *text, std::size_t len)
{
    if (len >= setting_size)
        return false;
    std::memcpy(field, text, len);
    field[len] = '\0';
    return true;
}
