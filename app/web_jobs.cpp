// A printer's jobs in the web interface: the table on its home page and its
// jobs page, which takes the path of PAPPL's. PAPPL 1.3.1's jobs page
// cancels, holds or releases whatever job a form names, in any state: a
// job that had already ended turned "canceled". Here a job is changed by
// its owner or an administrator and only while the change means something;
// names and owners of jobs are shown only to their owners and the
// administrators.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "app.h"

namespace
{

constexpr int jobs_shown = 20;

// Who is looking: an administrator, or the user of a good login.
struct viewer {
    bool admin = false;
    char name[256] = "";
};

struct job_list {
    pappl_client_t *client;
    const viewer *who;
    char path[256]; // the page, where its forms post
};

// The viewer of the page, asked only of a client that sent a login, so
// that an anonymous visit asks for nothing and logs nothing.
viewer page_viewer(pappl_client_t *client)
{
    viewer who;
    const char *authorization = httpGetField(papplClientGetHTTP(client), HTTP_FIELD_AUTHORIZATION);
    if (authorization == nullptr || *authorization == '\0')
        return who;
    http_status_t code = papplClientIsAuthorized(client);
    const char *user = papplClientGetUsername(client);
    who.admin = code == HTTP_STATUS_CONTINUE;
    if ((code == HTTP_STATUS_CONTINUE || code == HTTP_STATUS_FORBIDDEN) && user != nullptr)
        papplCopyString(who.name, user, sizeof(who.name));
    return who;
}

// Responds with the authorization's refusal unless the client is an
// administrator or the job's owner logged in; true when it may go on.
bool owner_or_admin(pappl_client_t *client, pappl_job_t *job)
{
    http_status_t code = papplClientIsAuthorized(client);
    // The authentication callback answers a good login that is not an
    // administrator's with 403, and names the client after it.
    const char *user = papplClientGetUsername(client);
    const char *owner = papplJobGetUsername(job);
    if (code == HTTP_STATUS_FORBIDDEN && user != nullptr && owner != nullptr &&
        std::strcmp(user, owner) == 0)
        code = HTTP_STATUS_CONTINUE;
    if (code == HTTP_STATUS_CONTINUE)
        return true;
    papplClientRespond(client, code, nullptr, nullptr, 0, 0);
    return false;
}

bool job_ended(pappl_job_t *job)
{
    return papplJobGetState(job) >= IPP_JSTATE_CANCELED || papplJobIsCanceled(job);
}

const char *reprint_job(pappl_client_t *client, pappl_printer_t *printer, pappl_job_t *job)
{
    const char *file = papplJobGetFilename(job);
    const char *user = papplClientGetUsername(client);
    if (file == nullptr)
        return "The job's document is no longer kept.";
    if (papplJobCreateWithFile(printer, user != nullptr && *user != '\0' ? user : "guest",
                               papplJobGetFormat(job), papplJobGetName(job), 0, nullptr,
                               file) == nullptr)
        return "Unable to copy print job.";
    return "Job reprinted.";
}

void job_when(pappl_job_t *job, char *text, std::size_t size)
{
    ipp_jstate_t state = papplJobGetState(job);
    time_t when = state >= IPP_JSTATE_CANCELED     ? papplJobGetTimeCompleted(job)
                  : state >= IPP_JSTATE_PROCESSING ? papplJobGetTimeProcessed(job)
                                                   : papplJobGetTimeCreated(job);
    static const char *const words[] = {"Queued",   "Held",    "Started",  "Stopped",
                                        "Canceled", "Aborted", "Completed"};
    const char *word = state >= IPP_JSTATE_PENDING && state <= IPP_JSTATE_COMPLETED
                           ? words[state - IPP_JSTATE_PENDING]
                           : "Unknown";
    if (state < IPP_JSTATE_CANCELED && papplJobIsCanceled(job))
        word = "Canceling";
    struct tm local {
    };
    localtime_r(&when, &local);
    char hhmmss[16];
    std::strftime(hhmmss, sizeof(hhmmss), "%H:%M:%S", &local);
    std::snprintf(text, size, "%s at %s", word, hhmmss);
}

void put_job_button(const job_list *list, const char *action, int job_id, const char *label)
{
    papplClientHTMLStartForm(list->client, list->path, false);
    papplClientHTMLPrintf(list->client,
                          "<input type=\"hidden\" name=\"action\" value=\"%s\">"
                          "<input type=\"hidden\" name=\"job-id\" value=\"%d\">"
                          "<input type=\"submit\" value=\"%s\"></form>",
                          action, job_id, label);
}

// Called with the printer locked: only the job is asked about.
void show_job(pappl_job_t *job, void *data)
{
    const auto *list = static_cast<const job_list *>(data);
    const char *owner = papplJobGetUsername(job);
    bool disclosed = list->who->admin || (list->who->name[0] != '\0' && owner != nullptr &&
                                          std::strcmp(owner, list->who->name) == 0);
    char when[64];
    job_when(job, when, sizeof(when));
    int id = papplJobGetID(job);
    papplClientHTMLPrintf(list->client,
                          "              <tr><td>%d</td><td>%s</td><td>%s</td><td>%d</td>"
                          "<td>%s</td><td>",
                          id, disclosed ? papplJobGetName(job) : "Withheld",
                          disclosed && owner != nullptr ? owner : "Withheld",
                          papplJobGetImpressionsCompleted(job), when);
    ipp_jstate_t state = papplJobGetState(job);
    if (!job_ended(job))
        put_job_button(list, "cancel-job", id, "Cancel Job");
    if (disclosed && state == IPP_JSTATE_HELD && !job_ended(job))
        put_job_button(list, "release-job", id, "Release Job");
    if (disclosed && state >= IPP_JSTATE_ABORTED && papplJobGetFilename(job) != nullptr)
        put_job_button(list, "reprint-job", id, "Reprint Job");
    papplClientHTMLPuts(list->client, "</td></tr>\n");
}

// The jobs page's own query: which job the page starts at.
int first_job(pappl_client_t *client)
{
    cups_option_t *options = nullptr;
    int count = papplClientGetForm(client, &options);
    const char *index = cupsGetOption("job-index", count, options);
    long first = index != nullptr ? std::strtol(index, nullptr, 10) : 1;
    cupsFreeOptions(count, options);
    return first >= 1 && first < 0x7fffffff ? static_cast<int>(first) : 1;
}

bool jobs_page(pappl_client_t *client, void *data)
{
    auto *printer = static_cast<pappl_printer_t *>(data);
    const char *status = nullptr;
    int first = 1;
    if (papplClientGetMethod(client) == HTTP_STATE_POST) {
        web_form form;
        if (web_read_form(client, &form, &status))
            status = web_job_action(client, printer, form);
        if (status == nullptr)
            return true;
    } else {
        first = first_job(client);
    }
    char path[256];
    papplPrinterGetPath(printer, "jobs", path, sizeof(path));
    bool printing = papplPrinterGetState(printer) == IPP_PSTATE_PROCESSING;
    papplClientHTMLPrinterHeader(client, printer, "Jobs", printing ? 10 : 0, nullptr, nullptr);
    if (status != nullptr)
        papplClientHTMLPrintf(client, "<div class=\"banner\">%s</div>\n", status);
    web_show_jobs(client, printer, path, first);
    int total = papplPrinterGetNumberOfJobs(printer);
    if (first > 1 || first + jobs_shown <= total) {
        papplClientHTMLPuts(client, "          <div class=\"pager\">");
        if (first > 1)
            papplClientHTMLPrintf(client, "<a class=\"btn\" href=\"%s?job-index=%d\">&lt;</a>",
                                  path, std::max(1, first - jobs_shown));
        if (first + jobs_shown <= total)
            papplClientHTMLPrintf(client, "<a class=\"btn\" href=\"%s?job-index=%d\">&gt;</a>",
                                  path, first + jobs_shown);
        papplClientHTMLPuts(client, "</div>\n");
    }
    papplClientHTMLPrinterFooter(client);
    return true;
}

} // namespace

const char *web_job_action(pappl_client_t *client, pappl_printer_t *printer, const web_form &form)
{
    pappl_job_t *job = form.job_id > 0 ? papplPrinterFindJob(printer, form.job_id) : nullptr;
    const char *action = form.action;
    bool reprint = std::strcmp(action, "reprint-job") == 0;
    if (std::strcmp(action, "cancel-job") != 0 && std::strcmp(action, "release-job") != 0 &&
        !reprint)
        return "Unknown action.";
    if (job == nullptr)
        return "Invalid job ID.";
    if (!reprint && job_ended(job))
        return "The job has already ended.";
    if (!owner_or_admin(client, job))
        return nullptr;
    if (reprint)
        return papplJobGetState(job) >= IPP_JSTATE_ABORTED ? reprint_job(client, printer, job)
                                                           : "The job has not ended.";
    if (std::strcmp(action, "release-job") == 0) {
        if (papplJobGetState(job) != IPP_JSTATE_HELD)
            return "The job is not held.";
        papplJobRelease(job, papplClientGetUsername(client));
        return "Job released.";
    }
    papplJobCancel(job);
    return "Job canceled.";
}

void web_show_jobs(pappl_client_t *client, pappl_printer_t *printer, const char *path, int first)
{
    char base[256];
    papplPrinterGetPath(printer, nullptr, base, sizeof(base));
    papplClientHTMLPrintf(client, "          <h1 class=\"title\"><a href=\"%s/jobs\">Jobs</a>",
                          base);
    if (papplPrinterGetNumberOfActiveJobs(printer) > 0)
        papplClientHTMLPrintf(client, " <a class=\"btn\" href=\"%s/cancelall\">Cancel All Jobs</a>",
                              base);
    papplClientHTMLPuts(client, "</h1>\n");
    if (papplPrinterGetNumberOfJobs(printer) == 0) {
        papplClientHTMLPuts(client, "          <p>No jobs in history.</p>\n");
        return;
    }
    viewer who = page_viewer(client);
    job_list list{client, &who, ""};
    papplCopyString(list.path, path, sizeof(list.path));
    papplClientHTMLPuts(client, "          <table class=\"list\" summary=\"Jobs\">\n"
                                "            <thead>\n"
                                "              <tr><th>Job #</th><th>Name</th><th>Owner</th>"
                                "<th>Pages</th><th>Status</th><th></th></tr>\n"
                                "            </thead>\n            <tbody>\n");
    papplPrinterIterateAllJobs(printer, show_job, &list, first, jobs_shown);
    papplClientHTMLPuts(client, "            </tbody>\n          </table>\n");
}

void web_jobs_page_add(pappl_printer_t *printer)
{
    char path[256];
    papplPrinterGetPath(printer, "jobs", path, sizeof(path));
    papplSystemAddResourceCallback(papplPrinterGetSystem(printer), path, "text/html", jobs_page,
                                   printer);
}
