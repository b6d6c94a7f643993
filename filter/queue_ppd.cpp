// Settings that the queue's PPD supplies: the model always, and the defaults
// for whatever the job's options left empty.
//
// The PPD interface is the only way to reach a queue's PPD through libcups
// 2.x and is marked deprecated there; its calls are kept in this file alone.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include "filter_settings.h"

#include <cstdlib>
#include <cstring>
#include <cups/cups.h>
#include <cups/ppd.h>
#include <unistd.h>

const char *ppd_default_choice(ppd_file_t *ppd, const char *keyword)
{
    ppd_option_t *option = ppdFindOption(ppd, keyword);
    if (option == nullptr)
        return nullptr;
    ppd_choice_t *choice = ppdFindChoice(option, option->defchoice);
    return choice != nullptr ? choice->choice : nullptr;
}

static const char *fill_default(char *field, ppd_file_t *ppd, const char *keyword)
{
    if (field[0] != '\0')
        return nullptr;
    const char *choice = ppd_default_choice(ppd, keyword);
    if (choice == nullptr || !setting_store(field, choice, std::strlen(choice)))
        return "PPD file is broken. Cannot get option of VELO.";
    return nullptr;
}

const char *settings_from_ppd(filter_settings *settings, ppd_file_t *ppd)
{
    if (ppd->modelname == nullptr || ppd->modelname[0] == '\0')
        return "PPD file has no *ModelName.";
    if (!setting_store(settings->model, ppd->modelname, std::strlen(ppd->modelname)))
        return "PPD *ModelName is longer than 255 characters.";

    const char *failure = fill_default(settings->media, ppd, "PageSize");
    if (failure == nullptr)
        failure = fill_default(settings->ink, ppd, "Ink");
    if (failure == nullptr)
        failure = fill_default(settings->quality, ppd, "Quality");
    return failure;
}

static bool directly_inside(const char *path, const char *dir)
{
    std::size_t len = std::strlen(dir);
    while (len > 1 && dir[len - 1] == '/')
        len--;
    return len > 0 && std::strncmp(path, dir, len) == 0 && path[len] == '/' &&
           std::strchr(path + len + 1, '/') == nullptr;
}

// The fetch hands back a temporary copy (a link to the scheduler's file when
// it is local) in TMPDIR, or in /tmp when TMPDIR is unusable. Nothing outside
// those is ever removed: it could be the queue's own PPD.
static void remove_temporary_copy(const char *path)
{
    const char *tmpdir = std::getenv("TMPDIR");
    if ((tmpdir != nullptr && directly_inside(path, tmpdir)) || directly_inside(path, "/tmp"))
        unlink(path);
}

const char *settings_from_queue(filter_settings *settings, const char *queue)
{
    const char *path = cupsGetPPD(queue);
    if (path == nullptr)
        return "Cannot fetch the PPD file of the queue.";

    // ppdOpenFile reads the whole file, so the temporary copy that the fetch
    // left can go at once, whether or not it parsed.
    ppd_file_t *ppd = ppdOpenFile(path);
    remove_temporary_copy(path);
    if (ppd == nullptr)
        return "Cannot open the PPD file of the queue.";

    const char *failure = settings_from_ppd(settings, ppd);
    ppdClose(ppd);
    return failure;
}
