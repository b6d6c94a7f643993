// The server's system object. It takes the server options every printer
// application takes (-o server-port=, listen-hostname=, spool-directory=,
// log-file=, log-level=, server-hostname=, admin-group=, auth-service=,
// server-options=), keeps its printers, their defaults and the jobs' history
// in a state file (-o state-file=, else where a system service keeps it), and
// adds what this application brings: its drivers and PDF through
// Ghostscript.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "app.h"

constexpr const char *app_name = "velokit-printer-app";

// The state file's path, for the save callback for the life of the process.
static char state_file[1024];

static pappl_loglevel_t log_level(const char *value)
{
    static const struct {
        const char *name;
        pappl_loglevel_t level;
    } levels[] = {{"fatal", PAPPL_LOGLEVEL_FATAL},
                  {"error", PAPPL_LOGLEVEL_ERROR},
                  {"warn", PAPPL_LOGLEVEL_WARN},
                  {"info", PAPPL_LOGLEVEL_INFO},
                  {"debug", PAPPL_LOGLEVEL_DEBUG}};
    for (const auto &l : levels) {
        if (value != nullptr && std::strcmp(value, l.name) == 0)
            return l.level;
    }
    return PAPPL_LOGLEVEL_WARN;
}

static bool word_in(const char *list, const char *word)
{
    std::size_t len = std::strlen(word);
    for (const char *p = list; p != nullptr && *p != '\0';) {
        if (std::strncmp(p, word, len) == 0 && (p[len] == ',' || p[len] == '\0'))
            return true;
        p = std::strchr(p, ',');
        if (p != nullptr)
            p++;
    }
    return false;
}

static pappl_soptions_t server_options(const char *value)
{
    pappl_soptions_t options =
        PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE | PAPPL_SOPTIONS_WEB_TLS;
    static const struct {
        const char *name;
        pappl_soptions_t add, remove;
    } words[] = {
        {"none", PAPPL_SOPTIONS_NONE, ~static_cast<pappl_soptions_t>(0)},
        {"dnssd-host", PAPPL_SOPTIONS_DNSSD_HOST, 0},
        {"no-multi-queue", 0, PAPPL_SOPTIONS_MULTI_QUEUE},
        {"raw-socket", PAPPL_SOPTIONS_RAW_SOCKET, 0},
        {"usb-printer", PAPPL_SOPTIONS_USB_PRINTER, 0},
        {"no-web-interface", 0, PAPPL_SOPTIONS_WEB_INTERFACE},
        {"web-log", PAPPL_SOPTIONS_WEB_LOG, 0},
        {"web-network", PAPPL_SOPTIONS_WEB_NETWORK, 0},
        {"web-remote", PAPPL_SOPTIONS_WEB_REMOTE, 0},
        {"web-security", PAPPL_SOPTIONS_WEB_SECURITY, 0},
        {"no-tls", PAPPL_SOPTIONS_NO_TLS, PAPPL_SOPTIONS_WEB_TLS},
    };
    for (const auto &w : words) {
        if (word_in(value, w.name))
            options = (options & ~w.remove) | w.add;
    }
    return options;
}

// Root keeps its spool and state where a system service does; anyone else
// in the temporary directory.
static void default_paths(char *spool, std::size_t spool_size)
{
    if (getuid() == 0) {
        std::snprintf(spool, spool_size, "/var/spool/%s", app_name);
        std::snprintf(state_file, sizeof(state_file), "/var/lib/%s.state", app_name);
        mkdir("/var/spool", 0755);
        mkdir("/var/lib", 0755);
    } else {
        const char *tmp = papplGetTempDir();
        std::snprintf(spool, spool_size, "%s/%s%d.d", tmp, app_name, static_cast<int>(getuid()));
        std::snprintf(state_file, sizeof(state_file), "%s/%s%d.state", tmp, app_name,
                      static_cast<int>(getuid()));
    }
}

static bool save_state(pappl_system_t *system, void * /*data*/)
{
    return state_save(system);
}

pappl_system_t *system_create(int num_options, cups_option_t *options, void * /*data*/)
{
    char spool[1024];
    default_paths(spool, sizeof(spool));
    const char *directory = cupsGetOption("spool-directory", num_options, options);
    if (const char *state = cupsGetOption("state-file", num_options, options))
        std::snprintf(state_file, sizeof(state_file), "%s", state);

    int port = 0;
    if (const char *value = cupsGetOption("server-port", num_options, options)) {
        char *end = nullptr;
        errno = 0;
        long n = std::strtol(value, &end, 10);
        if (errno != 0 || *end != '\0' || n < 0 || n > 65535) {
            std::fprintf(stderr, "%s: Bad 'server-port' value.\n", app_name);
            return nullptr;
        }
        port = static_cast<int>(n);
    }

    pappl_system_t *system = papplSystemCreate(
        server_options(cupsGetOption("server-options", num_options, options)),
        "Velokit Printer Application", port, "_print,_universal",
        directory != nullptr ? directory : spool, cupsGetOption("log-file", num_options, options),
        log_level(cupsGetOption("log-level", num_options, options)),
        cupsGetOption("auth-service", num_options, options), false);
    if (system == nullptr)
        return nullptr;
    if (const char *group = cupsGetOption("admin-group", num_options, options))
        papplSystemSetAdminGroup(system, group);
    if (const char *host = cupsGetOption("server-hostname", num_options, options))
        papplSystemSetHostName(system, host);
    if (cupsGetOption("private-server", num_options, options) == nullptr)
        papplSystemAddListeners(system, cupsGetOption("listen-hostname", num_options, options));

    papplSystemAddMIMEFilter(system, "application/pdf", "image/pwg-raster", pdf_filter, nullptr);
    papplSystemAddMIMEFilter(system, "image/pwg-raster", "image/pwg-raster", raster_filter,
                             nullptr);
    papplSystemAddMIMEFilter(system, spooled_raster_type, "image/pwg-raster", spooled_raster_filter,
                             nullptr);
    pappl_pr_driver_t *list = nullptr;
    int count = drivers(&list);
    papplSystemSetPrinterDrivers(system, count, list, nullptr, printer_created, driver_setup,
                                 nullptr);
    // Jobs left printing by the last run come back pending, then start.
    const char *spool_dir = directory != nullptr ? directory : spool;
    state_paths_set(state_file, spool_dir);
    recovery_prepare(spool_dir);
    papplSystemLoadState(system, state_file);
    recovery_start(system);
    shutdown_setup(system);
    papplSystemSetSaveCallback(system, save_state, nullptr);
    papplSystemSetOperationCallback(system, ipp_operation, nullptr);
    papplSystemSetEventCallback(system, system_event, nullptr);
    periodic_checks_start(system);
    // Who may do what, with the admin group given or the default one.
    access_control_setup(system, cupsGetOption("admin-group", num_options, options));
    private_files_setup(system, state_file, directory == nullptr ? spool : nullptr);
    printer_dnssd_start(system, cupsGetOption("server-hostname", num_options, options) != nullptr);
    web_add_printer_page(system);
    return system;
}

std::vector<int> system_printer_ids(pappl_system_t *system)
{
    std::vector<int> ids;
    papplSystemIteratePrinters(
        system,
        [](pappl_printer_t *printer, void *data) {
            static_cast<std::vector<int> *>(data)->push_back(papplPrinterGetID(printer));
        },
        &ids);
    return ids;
}
