// The add, delete and default sub-commands on a running server, by the
// printer's real number. PAPPL 1.3.1 builds the attributes of a printer
// added while the server runs before the system numbers it, so its
// "printer-id" attribute reads 0 until the server restarts, and PAPPL's own
// sub-commands, which take the number from there, refuse the printer. So
// add goes through the server's own operation (printer_add.cpp), which makes
// the printer whole at once; its -o settings are then applied as PAPPL's
// modify applies them, the same attributes PAPPL's Create-Printer sets. For
// delete and default the system's list of its printers carries the real
// number. Everything else, and any other form of them, is PAPPL's.
#include <cstdio>
#include <cstring>
#include <spawn.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "app.h"

// The server's domain socket, where PAPPL's sub-commands look for it.
static http_t *connect_running_server(const char *base_name)
{
    char path[1024];
    const uid_t uids[] = {getuid(), 0};
    for (uid_t uid : uids) {
        if (uid != 0)
            std::snprintf(path, sizeof(path), "%s/%s%d.sock", papplGetTempDir(), base_name,
                          static_cast<int>(uid));
        else
            std::snprintf(path, sizeof(path), "/run/%s.sock", base_name);
        if (http_t *http = httpConnect2(path, 0, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_IF_REQUESTED,
                                        1, 30000, nullptr))
            return http;
        if (uid == 0)
            break;
    }
    return nullptr;
}

static ipp_t *system_request(ipp_op_t op)
{
    ipp_t *request = ippNewRequest(op);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "system-uri", nullptr,
                 "ipp://localhost/ipp/system");
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    return request;
}

// The printer's number in the system's list, or 0.
static int configured_printer_id(http_t *http, const char *printer_name)
{
    ipp_t *request = system_request(IPP_OP_GET_SYSTEM_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                 "system-configured-printers");
    ipp_t *response = cupsDoRequest(http, request, "/ipp/system");
    int id = 0;
    ipp_attribute_t *list =
        ippFindAttribute(response, "system-configured-printers", IPP_TAG_BEGIN_COLLECTION);
    for (int i = 0; id == 0 && i < ippGetCount(list); i++) {
        ipp_t *printer = ippGetCollection(list, i);
        const char *name =
            ippGetString(ippFindAttribute(printer, "printer-name", IPP_TAG_ZERO), 0, nullptr);
        if (name != nullptr && std::strcmp(name, printer_name) == 0)
            id = ippGetInteger(ippFindAttribute(printer, "printer-id", IPP_TAG_INTEGER), 0);
    }
    ippDelete(response);
    return id;
}

static int delete_printer(http_t *http, int id)
{
    ipp_t *request = system_request(IPP_OP_DELETE_PRINTER);
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "printer-id", id);
    ippDelete(cupsDoRequest(http, request, "/ipp/system"));
    return cupsLastError() == IPP_STATUS_OK ? 0 : 1;
}

static int set_default_printer(http_t *http, int id)
{
    ipp_t *request = system_request(IPP_OP_SET_SYSTEM_ATTRIBUTES);
    ippAddInteger(request, IPP_TAG_SYSTEM, IPP_TAG_INTEGER, "system-default-printer-id", id);
    ippDelete(cupsDoRequest(http, request, "/ipp/system"));
    return cupsLastError() == IPP_STATUS_OK ? 0 : 1;
}

// What "add -d NAME -m DRIVER -v URI [-o SETTINGS]..." gives, in the forms
// PAPPL's main loop reads; false for any other form.
struct add_arguments {
    const char *name = nullptr, *driver = nullptr, *device_uri = nullptr;
    std::vector<char *> settings; // each -o value
};

static bool read_add_arguments(int argc, char *argv[], add_arguments *add)
{
    if (argc < 2 || std::strcmp(argv[1], "add") != 0)
        return false;
    for (int i = 2; i + 1 < argc; i += 2) {
        const char *flag = argv[i];
        if (std::strcmp(flag, "-d") == 0)
            add->name = argv[i + 1];
        else if (std::strcmp(flag, "-m") == 0)
            add->driver = argv[i + 1];
        else if (std::strcmp(flag, "-v") == 0)
            add->device_uri = argv[i + 1];
        else if (std::strcmp(flag, "-o") == 0)
            add->settings.push_back(argv[i + 1]);
        else
            return false;
    }
    return argc % 2 == 0 && add->name != nullptr && add->driver != nullptr &&
           add->device_uri != nullptr;
}

static int add_printer(http_t *http, const add_arguments &add)
{
    ipp_t *request = system_request(ipp_op_add_printer);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "smi55357-driver", nullptr,
                 add.driver);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "smi55357-device-uri", nullptr,
                 add.device_uri);
    ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_NAME, "printer-name", nullptr, add.name);
    cups_option_t *options = nullptr;
    int count = 0;
    for (const char *setting : add.settings)
        count = cupsParseOptions(setting, count, &options);
    if (const char *device_id = cupsGetOption("printer-device-id", count, options))
        ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-device-id", nullptr,
                     device_id);
    cupsFreeOptions(count, options);
    ippDelete(cupsDoRequest(http, request, "/ipp/system"));
    return cupsLastError() == IPP_STATUS_OK ? 0 : 1;
}

// The -o settings of an added printer, through PAPPL's modify.
static int apply_settings(const char *program, const add_arguments &add)
{
    std::string words[] = {program, "modify", "-d", add.name, "-o"};
    std::vector<char *> args = {words[0].data(), words[1].data(), words[2].data(), words[3].data()};
    for (char *setting : add.settings)
        args.insert(args.end(), {words[4].data(), setting});
    args.push_back(nullptr);
    return papplMainloop(static_cast<int>(args.size()) - 1, args.data(), VELOKIT_VERSION, nullptr,
                         0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
}

// As PAPPL's sub-commands do when no server runs: a private server of the
// user's own (no TCP listener), in a process group of its own, given up to
// 10 s to answer.
static http_t *start_private_server(char *program, const char *base_name)
{
    char server[] = "server";
    char option[] = "-o";
    char value[] = "private-server=true";
    char *args[] = {program, server, option, value, nullptr};
    posix_spawnattr_t attrs;
    posix_spawnattr_init(&attrs);
    posix_spawnattr_setflags(&attrs, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attrs, 0);
    pid_t pid = 0;
    int error = posix_spawn(&pid, "/proc/self/exe", nullptr, &attrs, args, environ);
    posix_spawnattr_destroy(&attrs);
    if (error != 0) {
        std::fprintf(stderr, "%s: Unable to start server: %s\n", base_name, std::strerror(error));
        return nullptr;
    }
    for (int tries = 0; tries < 40; tries++) {
        usleep(250000);
        if (http_t *http = connect_running_server(base_name))
            return http;
    }
    std::fprintf(stderr, "%s: Unable to connect to server: %s\n", base_name, cupsLastErrorString());
    return nullptr;
}

static int cli_add_command(int argc, char *argv[], const char *base_name)
{
    add_arguments add;
    if (!read_add_arguments(argc, argv, &add))
        return -1;
    http_t *http = connect_running_server(base_name);
    if (http == nullptr)
        http = start_private_server(argv[0], base_name);
    if (http == nullptr)
        return 1;
    int status = add_printer(http, add);
    httpClose(http);
    if (status != 0) {
        std::fprintf(stderr, "%s: Unable to add printer: %s\n", base_name, cupsLastErrorString());
        return status;
    }
    return add.settings.empty() ? 0 : apply_settings(argv[0], add);
}

int cli_printer_id_command(int argc, char *argv[])
{
    const char *program = std::strrchr(argv[0], '/');
    program = program != nullptr ? program + 1 : argv[0];
    if (argc >= 2 && std::strcmp(argv[1], "add") == 0)
        return cli_add_command(argc, argv, program);
    if (argc != 4 || std::strcmp(argv[2], "-d") != 0)
        return -1;
    bool remove = std::strcmp(argv[1], "delete") == 0;
    if (!remove && std::strcmp(argv[1], "default") != 0)
        return -1;
    const char *base_name = std::strrchr(argv[0], '/');
    base_name = base_name != nullptr ? base_name + 1 : argv[0];

    // Without a running server PAPPL starts one, which numbers every printer
    // right as it loads them.
    http_t *http = connect_running_server(base_name);
    if (http == nullptr)
        return -1;
    int id = configured_printer_id(http, argv[3]);
    int status = -1;
    if (id > 0) {
        status = remove ? delete_printer(http, id) : set_default_printer(http, id);
        if (status != 0)
            std::fprintf(stderr, "%s: Unable to %s printer: %s\n", base_name,
                         remove ? "delete" : "set default", cupsLastErrorString());
    }
    httpClose(http);
    return status;
}
