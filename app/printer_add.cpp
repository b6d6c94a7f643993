// Printers the application adds while the server runs, whole at once.
// PAPPL 1.3.1 builds a printer's attributes from the number it is created
// with: one created with 0 is numbered by the system only afterwards and
// answers "printer-id" 0 over IPP until the server restarts. A printer
// created with its number is right from the start, but the system's next
// number cannot be moved on while it runs (papplSystemSetNextPrinterID is
// refused then), and PAPPL's own Create-Printer would hand out that number
// again. So the system numbers the printer first, the first form is
// dropped at once and the printer is made again with that number: no number
// is ever given twice, and what clients see is the whole printer. (Event
// subscribers see the first form come and go.)
//
// The command line's add sub-command reaches this through a vendor IPP
// operation on the system (PAPPL answers Create-Printer itself).
#include <cerrno>
#include <cstring>
#include <mutex>

#include "app.h"

// One addition at a time: the number the first form got is the one made
// again.
static std::mutex add_lock;

pappl_printer_t *printer_add(pappl_system_t *system, const char *name, const char *driver,
                             const char *device_id, const char *device_uri)
{
    std::lock_guard<std::mutex> hold(add_lock);
    if (!papplSystemIsRunning(system)) {
        int id = papplSystemGetNextPrinterID(system);
        papplSystemSetNextPrinterID(system, id + 1);
        return papplPrinterCreate(system, id, name, driver, device_id, device_uri);
    }
    pappl_printer_t *numbered = papplPrinterCreate(system, 0, name, driver, device_id, device_uri);
    if (numbered == nullptr)
        return nullptr;
    int id = papplPrinterGetID(numbered);
    papplPrinterDelete(numbered);
    pappl_printer_t *printer = papplPrinterCreate(system, id, name, driver, device_id, device_uri);
    if (printer == nullptr) {
        int error = errno;
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to add printer '%s' again as number %d: %s",
                 name, id, std::strerror(error));
        errno = error;
    }
    return printer;
}

// The request's one value of NAME in GROUP with TAG, or nullptr.
static const char *single_value(ipp_t *request, const char *name, ipp_tag_t group, ipp_tag_t tag)
{
    ipp_attribute_t *attr = ippFindAttribute(request, name, IPP_TAG_ZERO);
    if (attr == nullptr || ippGetGroupTag(attr) != group || ippGetCount(attr) != 1)
        return nullptr;
    ipp_tag_t value_tag = ippGetValueTag(attr);
    bool name_tag = tag == IPP_TAG_NAME && value_tag == IPP_TAG_NAMELANG;
    bool text_tag = tag == IPP_TAG_TEXT && value_tag == IPP_TAG_TEXTLANG;
    return value_tag == tag || name_tag || text_tag ? ippGetString(attr, 0, nullptr) : nullptr;
}

// The same answers as PAPPL's Create-Printer.
static void respond_creation_error(pappl_client_t *client, const char *name, const char *driver)
{
    int error = errno;
    if (error == EEXIST)
        papplClientRespondIPP(client, IPP_STATUS_ERROR_NOT_POSSIBLE,
                              "Printer name '%s' already exists.", name);
    else if (error == EIO)
        papplClientRespondIPP(client, IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES,
                              "Driver '%s' cannot be used with this printer.", driver);
    else if (error == EINVAL)
        papplClientRespondIPP(client, IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES,
                              "Printer names must start with a letter or underscore and cannot "
                              "contain special characters.");
    else
        papplClientRespondIPP(client, IPP_STATUS_ERROR_INTERNAL,
                              "An error occurred when adding the printer: %s.",
                              std::strerror(error));
}

bool printer_add_operation(pappl_client_t *client)
{
    ipp_t *request = papplClientGetRequest(client);
    if (ippGetOperation(request) != ipp_op_add_printer)
        return false;
    http_status_t authorized = papplClientIsAuthorized(client);
    if (authorized != HTTP_STATUS_CONTINUE) {
        papplClientRespond(client, authorized, nullptr, nullptr, 0, 0);
        return true;
    }
    pappl_system_t *system = papplClientGetSystem(client);
    if ((papplSystemGetOptions(system) & PAPPL_SOPTIONS_MULTI_QUEUE) == 0) {
        papplClientRespondIPP(client, IPP_STATUS_ERROR_OPERATION_NOT_SUPPORTED,
                              "This operation is not supported.");
        return true;
    }
    const char *name = single_value(request, "printer-name", IPP_TAG_PRINTER, IPP_TAG_NAME);
    const char *driver =
        single_value(request, "smi55357-driver", IPP_TAG_OPERATION, IPP_TAG_KEYWORD);
    const char *device_uri =
        single_value(request, "smi55357-device-uri", IPP_TAG_OPERATION, IPP_TAG_URI);
    const char *device_id =
        single_value(request, "printer-device-id", IPP_TAG_PRINTER, IPP_TAG_TEXT);
    if (name == nullptr || std::strlen(name) > 127 || driver == nullptr || device_uri == nullptr ||
        !papplDeviceIsSupported(device_uri)) {
        papplClientRespondIPP(client, IPP_STATUS_ERROR_BAD_REQUEST,
                              "Missing or bad 'printer-name', 'smi55357-driver' or "
                              "'smi55357-device-uri' attribute in request.");
        return true;
    }
    pappl_printer_t *printer = printer_add(system, name, driver, device_id, device_uri);
    if (printer == nullptr) {
        respond_creation_error(client, name, driver);
        return true;
    }
    ipp_t *response = papplClientRespondIPP(client, IPP_STATUS_OK, nullptr);
    ippAddInteger(response, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "printer-id",
                  papplPrinterGetID(printer));
    return true;
}
