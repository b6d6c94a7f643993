// The delete and default sub-commands for a printer added while the server
// runs. PAPPL 1.3.1 builds such a printer's attributes before the system
// numbers it, so its "printer-id" attribute reads 0 until the server
// restarts, and PAPPL's own sub-commands, which take the number from there,
// refuse the printer. The system's list of its printers carries the real
// number: when a server is running these two sub-commands take it from
// there. Everything else, and any other form of them, is PAPPL's.
#include <cstdio>
#include <cstring>
#include <unistd.h>

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

int cli_printer_id_command(int argc, char *argv[])
{
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
