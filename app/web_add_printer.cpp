// The web interface's Add Printer page. PAPPL 1.3.1's own page always offers
// a "Network Printer" at any host, which this server refuses: its printers
// are the maker's ports. This page offers only the ports and the drivers
// and adds the printer as PAPPL's would. Registered before the server runs,
// it takes the place of PAPPL's page at the same path.
#include <cerrno>
#include <cstring>

#include "app.h"

constexpr const char page_path[] = "/addprinter";

struct add_form {
    char printer_name[128] = "";
    char device_uri[1024] = "";
    char driver_name[128] = "";
};

struct device_choice {
    pappl_client_t *client;
    const char *selected;
};

static bool list_port(const char *device_info, const char *device_uri, const char * /*device_id*/,
                      void *data)
{
    const auto *choice = static_cast<const device_choice *>(data);
    if (port_uri_accepted(device_uri))
        papplClientHTMLPrintf(choice->client, "<option value=\"%s\"%s>%s</option>", device_uri,
                              std::strcmp(choice->selected, device_uri) == 0 ? " selected" : "",
                              device_info);
    return false;
}

static void read_form(int num_form, cups_option_t *form, add_form *add)
{
    struct {
        const char *name;
        char *value;
        std::size_t size;
    } fields[] = {{"printer_name", add->printer_name, sizeof(add->printer_name)},
                  {"device_uri", add->device_uri, sizeof(add->device_uri)},
                  {"driver_name", add->driver_name, sizeof(add->driver_name)}};
    for (auto &f : fields) {
        if (const char *value = cupsGetOption(f.name, num_form, form))
            papplCopyString(f.value, value, f.size);
    }
}

static const char *creation_error(int error)
{
    switch (error) {
    case EEXIST:
        return "A printer with that name already exists.";
    case EIO:
        return "Unable to use that driver.";
    case EINVAL:
        return "Printer names must start with a letter or underscore and cannot contain "
               "special characters.";
    default:
        return "The printer could not be added.";
    }
}

// Adds the printer of a submitted form: nullptr when the client was sent
// to its page, else what to tell the user.
static const char *add_printer(pappl_client_t *client, pappl_system_t *system, add_form *add)
{
    cups_option_t *form = nullptr;
    int num_form = papplClientGetForm(client, &form);
    const char *status = nullptr;
    if (num_form == 0) {
        status = "Invalid form data.";
    } else if (!papplClientIsValidForm(client, num_form, form)) {
        status = "Invalid form submission.";
    } else {
        read_form(num_form, form, add);
        if (add->printer_name[0] == '\0')
            status = "Please enter a printer name.";
        else if (!port_uri_accepted(add->device_uri))
            status = "Please select a device.";
        else if (add->driver_name[0] == '\0')
            status = "Please select a driver.";
    }
    cupsFreeOptions(num_form, form);
    if (status != nullptr)
        return status;

    pappl_printer_t *printer = papplPrinterCreate(system, 0, add->printer_name, add->driver_name,
                                                  nullptr, add->device_uri);
    if (printer == nullptr)
        return creation_error(errno);
    char path[1024];
    papplPrinterGetPath(printer, nullptr, path, sizeof(path));
    papplClientRespondRedirect(client, HTTP_STATUS_FOUND, path);
    return nullptr;
}

static void show_page(pappl_client_t *client, const add_form &add, const char *status)
{
    if (!papplClientRespond(client, HTTP_STATUS_OK, nullptr, "text/html", 0, 0))
        return;
    papplClientHTMLHeader(client, "Add Printer", 0);
    papplClientHTMLPuts(client, "    <div class=\"content\">\n      <div class=\"row\">\n"
                                "        <div class=\"col-12\">\n"
                                "          <h1 class=\"title\">Add Printer</h1>\n");
    if (status != nullptr)
        papplClientHTMLPrintf(client, "<div class=\"banner\">%s</div>\n", status);
    papplClientHTMLStartForm(client, page_path, false);
    papplClientHTMLPrintf(client,
                          "          <table class=\"form\">\n            <tbody>\n"
                          "              <tr><th><label for=\"printer_name\">Name:</label></th>"
                          "<td><input type=\"text\" name=\"printer_name\" "
                          "placeholder=\"Name of printer\" value=\"%s\" required></td></tr>\n"
                          "              <tr><th><label for=\"device_uri\">Device:</label></th>"
                          "<td><select name=\"device_uri\" id=\"device_uri\">"
                          "<option value=\"\">Select Device</option>",
                          add.printer_name);
    device_choice choice = {client, add.device_uri};
    papplDeviceList(PAPPL_DEVTYPE_CUSTOM_LOCAL, list_port, &choice, nullptr, nullptr);
    papplClientHTMLPuts(client, "</select></td></tr>\n"
                                "              <tr><th><label for=\"driver_name\">Driver "
                                "Name:</label></th><td><select name=\"driver_name\">"
                                "<option value=\"\">Select Driver</option>");
    pappl_pr_driver_t *list = nullptr;
    int count = drivers(&list);
    for (int i = 0; i < count; i++)
        papplClientHTMLPrintf(client, "<option value=\"%s\"%s>%s</option>", list[i].name,
                              std::strcmp(list[i].name, add.driver_name) == 0 ? " selected" : "",
                              list[i].description);
    papplClientHTMLPuts(client, "</select></td></tr>\n"
                                "              <tr><th></th><td><input type=\"submit\" "
                                "value=\"Add Printer\"></td></tr>\n"
                                "            </tbody></table>\n          </form>\n"
                                "        </div>\n      </div>\n    </div>\n");
    papplClientHTMLFooter(client);
}

static bool add_printer_page(pappl_client_t *client, void *data)
{
    auto *system = static_cast<pappl_system_t *>(data);
    if (!papplClientHTMLAuthorize(client))
        return true;
    add_form add;
    const char *status = nullptr;
    if (papplClientGetMethod(client) == HTTP_STATE_POST) {
        status = add_printer(client, system, &add);
        if (status == nullptr)
            return true;
    }
    show_page(client, add, status);
    return true;
}

void web_add_printer_page(pappl_system_t *system)
{
    // Where PAPPL has an Add Printer page at all.
    pappl_soptions_t options = papplSystemGetOptions(system);
    if ((options & PAPPL_SOPTIONS_WEB_INTERFACE) == 0 ||
        (options & PAPPL_SOPTIONS_MULTI_QUEUE) == 0)
        return;
    papplSystemAddResourceCallback(system, page_path, "text/html", add_printer_page, system);
}
