// The printer's home page, in place of PAPPL's. PAPPL 1.3.1's page carries
// out its actions (hold new jobs, pause, set as default...) after checking
// only the form's session token, which is on every page: anyone who reaches
// the port could change the printer. Here every action that changes the
// printer or the system asks for an administrator (papplClientHTMLAuthorize:
// a login prompt). The test page is a print job, open to whoever may print,
// as printing is; the jobs, and what may be done to them, as web_jobs.cpp
// has them. The page shows what PAPPL's shows, through PAPPL's public API.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "app.h"

// PAPPL's status keywords for its reason bits, as its own page shows them.
static const struct {
    pappl_preason_t bit;
    const char *text;
} reason_texts[] = {
    {PAPPL_PREASON_OTHER, "other"},
    {PAPPL_PREASON_COVER_OPEN, "cover open"},
    {PAPPL_PREASON_INPUT_TRAY_MISSING, "input tray missing"},
    {PAPPL_PREASON_MARKER_SUPPLY_EMPTY, "ink empty"},
    {PAPPL_PREASON_MARKER_SUPPLY_LOW, "ink low"},
    {PAPPL_PREASON_MARKER_WASTE_ALMOST_FULL, "waste tank almost full"},
    {PAPPL_PREASON_MARKER_WASTE_FULL, "waste tank full"},
    {PAPPL_PREASON_MEDIA_EMPTY, "out of paper"},
    {PAPPL_PREASON_MEDIA_JAM, "paper jam"},
    {PAPPL_PREASON_MEDIA_LOW, "paper low"},
    {PAPPL_PREASON_MEDIA_NEEDED, "paper needed"},
    {PAPPL_PREASON_OFFLINE, "offline"},
    {PAPPL_PREASON_SPOOL_AREA_FULL, "spool area full"},
    {PAPPL_PREASON_TONER_EMPTY, "toner empty"},
    {PAPPL_PREASON_TONER_LOW, "toner low"},
    {PAPPL_PREASON_DOOR_OPEN, "door open"},
    {PAPPL_PREASON_IDENTIFY_PRINTER_REQUESTED, "identify printer requested"},
};

// Actions that change the printer or the system.
static bool admin_action(const char *action)
{
    static const char *const actions[] = {"hold-new-jobs", "release-held-new-jobs", "pause-printer",
                                          "resume-printer", "set-as-default"};
    return std::ranges::any_of(actions,
                               [action](const char *a) { return std::strcmp(a, action) == 0; });
}

// The held jobs are released once no job waits for its document
// (held_job_release.cpp).
static const char *release_held_new_jobs(pappl_client_t *client, pappl_printer_t *printer)
{
    if (jobs_awaiting_document(printer) > 0)
        return "A job is still waiting for its document: release the held jobs once it has "
               "come.";
    papplPrinterReleaseHeldNewJobs(printer, papplClientGetUsername(client));
    return "Released held new jobs.";
}

// Administrators' actions; the client is an administrator.
static const char *run_admin_action(pappl_client_t *client, pappl_printer_t *printer,
                                    const char *action)
{
    if (std::strcmp(action, "hold-new-jobs") == 0) {
        papplPrinterHoldNewJobs(printer);
        return "Holding new jobs.";
    }
    if (std::strcmp(action, "release-held-new-jobs") == 0)
        return release_held_new_jobs(client, printer);
    if (std::strcmp(action, "pause-printer") == 0) {
        papplPrinterPause(printer);
        return papplPrinterGetState(printer) == IPP_PSTATE_STOPPED ? "Printer paused."
                                                                   : "Printer pausing.";
    }
    if (std::strcmp(action, "resume-printer") == 0) {
        papplPrinterResume(printer);
        return "Printer resuming.";
    }
    papplSystemSetDefaultPrinterID(papplPrinterGetSystem(printer), papplPrinterGetID(printer));
    return "Default printer set.";
}

static const char *print_test_page(pappl_client_t *client, pappl_printer_t *printer)
{
    pappl_pr_driver_data_t data;
    papplPrinterGetDriverData(printer, &data);
    char buffer[1024];
    const char *file =
        data.testpage_cb != nullptr ? data.testpage_cb(printer, buffer, sizeof(buffer)) : nullptr;
    if (file == nullptr || access(file, R_OK) != 0)
        return "Unable to access test print file.";
    const char *user = papplClientGetUsername(client);
    if (papplJobCreateWithFile(printer, user != nullptr && *user != '\0' ? user : "guest",
                               "image/pwg-raster", "Test Page", 0, nullptr, file) == nullptr)
        return "Unable to create test print job.";
    return "Test page printed.";
}

static const char *identify_printer(pappl_printer_t *printer)
{
    pappl_pr_driver_data_t data;
    papplPrinterGetDriverData(printer, &data);
    if (data.identify_supported == 0 || data.identify_cb == nullptr)
        return "Unable to identify printer.";
    data.identify_cb(printer, data.identify_supported, "Hello.");
    return "Printer identified.";
}

bool web_read_form(pappl_client_t *client, web_form *form, const char **status)
{
    cups_option_t *options = nullptr;
    int count = papplClientGetForm(client, &options);
    const char *action = cupsGetOption("action", count, options);
    const char *job_id = cupsGetOption("job-id", count, options);

    if (count == 0)
        *status = "Invalid form data.";
    else if (!papplClientIsValidForm(client, count, options))
        *status = "Invalid form submission.";
    else if (action == nullptr)
        *status = "Missing action.";
    if (action != nullptr)
        papplCopyString(form->action, action, sizeof(form->action));
    if (job_id != nullptr) {
        char *end = nullptr;
        errno = 0;
        long id = std::strtol(job_id, &end, 10);
        form->job_id =
            errno == 0 && *end == '\0' && id > 0 && id < 0x7fffffff ? static_cast<int>(id) : 0;
    }
    cupsFreeOptions(count, options);
    return *status == nullptr;
}

// A printer open to a group only prints the test page for an administrator:
// the group's members cannot be told apart here.
static bool test_page_needs_admin(pappl_printer_t *printer)
{
    char group[256];
    return papplPrinterGetPrintGroup(printer, group, sizeof(group)) != nullptr && group[0] != '\0';
}

// Carries out the form's action: what to tell the user, or nullptr when
// the client was answered already (asked to log in, or refused).
static const char *run_action(pappl_client_t *client, pappl_printer_t *printer)
{
    web_form form;
    const char *status = nullptr;
    if (!web_read_form(client, &form, &status))
        return status;
    const char *action = form.action;
    bool wants_test_page = std::strcmp(action, "print-test-page") == 0;
    if (std::strcmp(action, "cancel-job") == 0)
        return web_job_action(client, printer, form);
    if (admin_action(action) || (wants_test_page && test_page_needs_admin(printer))) {
        if (!papplClientHTMLAuthorize(client))
            return nullptr;
        return wants_test_page ? print_test_page(client, printer)
                               : run_admin_action(client, printer, action);
    }
    if (wants_test_page)
        return print_test_page(client, printer);
    if (std::strcmp(action, "identify-printer") == 0)
        return identify_printer(printer);
    return "Unknown action.";
}

void web_put_button(pappl_client_t *client, const char *path, const char *action, const char *label)
{
    papplClientHTMLStartForm(client, path, false);
    papplClientHTMLPrintf(client,
                          "<input type=\"hidden\" name=\"action\" value=\"%s\">"
                          "<input type=\"submit\" value=\"%s\"></form>",
                          action, label);
}

static const char *state_text(ipp_pstate_t state)
{
    return state == IPP_PSTATE_IDLE         ? "Idle"
           : state == IPP_PSTATE_PROCESSING ? "Printing"
                                            : "Stopped";
}

static void show_status(pappl_client_t *client, pappl_printer_t *printer, const char *path)
{
    pappl_system_t *system = papplPrinterGetSystem(printer);
    bool multi_queue = (papplSystemGetOptions(system) & PAPPL_SOPTIONS_MULTI_QUEUE) != 0;
    bool is_default = papplSystemGetDefaultPrinterID(system) == papplPrinterGetID(printer);
    bool holding = papplPrinterIsHoldingNewJobs(printer);
    bool can_hold = papplPrinterGetMaxActiveJobs(printer) != 1;
    ipp_pstate_t state = papplPrinterGetState(printer);
    int active = papplPrinterGetNumberOfActiveJobs(printer);
    char base[256];
    papplPrinterGetPath(printer, nullptr, base, sizeof(base));
    papplClientHTMLPrintf(client,
                          "          <h1 class=\"title\">Status</h1>\n"
                          "          <p><img class=\"%s\" src=\"%s/icon-md.png\">%s, %d job%s",
                          ippEnumString("printer-state", state), base, state_text(state), active,
                          active == 1 ? "" : "s");
    if (multi_queue && is_default)
        papplClientHTMLPuts(client, ", default printer");
    if (holding)
        papplClientHTMLPuts(client, ", holding new jobs");
    pappl_preason_t reasons = papplPrinterGetReasons(printer);
    for (const auto &r : reason_texts) {
        if ((reasons & r.bit) != 0)
            papplClientHTMLPrintf(client, ", %s", r.text);
    }
    pappl_pr_driver_data_t data;
    papplPrinterGetDriverData(printer, &data);
    papplClientHTMLPrintf(client, ".<br>%s</p>\n          <div class=\"btn\">",
                          data.make_and_model);
    if (can_hold && !holding)
        web_put_button(client, path, "hold-new-jobs", "Hold New Jobs");
    if (data.identify_supported != 0)
        web_put_button(client, path, "identify-printer", "Identify Printer");
    if (data.testpage_cb != nullptr)
        web_put_button(client, path, "print-test-page", "Print Test Page");
    if (can_hold && holding)
        web_put_button(client, path, "release-held-new-jobs", "Release Held New Jobs");
    if (multi_queue) {
        if (state == IPP_PSTATE_STOPPED)
            web_put_button(client, path, "resume-printer", "Resume Printing");
        else
            web_put_button(client, path, "pause-printer", "Pause Printing");
        if (!is_default)
            web_put_button(client, path, "set-as-default", "Set as Default");
        papplClientHTMLPrintf(client, " <a class=\"btn\" href=\"%s/delete\">Delete Printer</a>",
                              base);
    }
    papplClientHTMLPuts(client, "<br clear=\"all\"></div>\n");
}

static void show_configuration(pappl_client_t *client, pappl_printer_t *printer)
{
    char base[256];
    char dns_sd_name[256];
    char location[256];
    char organization[256];
    pappl_contact_t contact;
    papplPrinterGetPath(printer, nullptr, base, sizeof(base));
    papplClientHTMLPrintf(client,
                          "          <h1 class=\"title\">Configuration <a class=\"btn\" "
                          "href=\"%s/config\">Change</a></h1>\n"
                          "          <table class=\"form\">\n            <tbody>\n",
                          base);
    const struct {
        const char *label, *value;
    } rows[] = {
        {"Name", papplPrinterGetDNSSDName(printer, dns_sd_name, sizeof(dns_sd_name))},
        {"Location", papplPrinterGetLocation(printer, location, sizeof(location))},
        {"Organization", papplPrinterGetOrganization(printer, organization, sizeof(organization))},
        {"Contact", papplPrinterGetContact(printer, &contact)->name},
        {"Contact email", contact.email},
    };
    for (const auto &row : rows)
        papplClientHTMLPrintf(client, "              <tr><th>%s:</th><td>%s</td></tr>\n", row.label,
                              row.value != nullptr && *row.value != '\0' ? row.value : "Not set");
    papplClientHTMLPuts(client, "            </tbody>\n          </table>\n");
}

static bool printer_page(pappl_client_t *client, void *data)
{
    auto *printer = static_cast<pappl_printer_t *>(data);
    const char *status = nullptr;
    if (papplClientGetMethod(client) == HTTP_STATE_POST) {
        status = run_action(client, printer);
        if (status == nullptr)
            return true;
    }
    char path[256];
    papplPrinterGetPath(printer, "", path, sizeof(path));
    bool printing = papplPrinterGetState(printer) == IPP_PSTATE_PROCESSING;
    papplClientHTMLPrinterHeader(client, printer, nullptr, printing ? 10 : 0, nullptr, nullptr);
    papplClientHTMLPuts(client, "      <div class=\"row\">\n        <div class=\"col-6\">\n");
    show_status(client, printer, path);
    if (status != nullptr)
        papplClientHTMLPrintf(client, "<div class=\"banner\">%s</div>\n", status);
    show_configuration(client, printer);
    papplClientHTMLPuts(client, "        </div>\n        <div class=\"col-6\">\n");
    web_show_jobs(client, printer, path, 1);
    papplClientHTMLPrinterFooter(client);
    return true;
}

void web_printer_page_add(pappl_printer_t *printer)
{
    pappl_system_t *system = papplPrinterGetSystem(printer);
    if ((papplSystemGetOptions(system) & PAPPL_SOPTIONS_WEB_INTERFACE) == 0)
        return;
    char path[256];
    papplPrinterGetPath(printer, "", path, sizeof(path));
    papplSystemAddResourceCallback(system, path, "text/html", printer_page, printer);
    web_jobs_page_add(printer);
}
