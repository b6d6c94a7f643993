// The jobs a server left behind when it stopped or died: the one printing
// and those waiting print again from their start, as soon as it is back.
//
// PAPPL 1.3.1 loads a job saved "processing" as processing and never starts
// or finishes it (a cancel leaves it "canceling" for ever), and it starts
// waiting jobs only when something else makes it look for work. So before
// PAPPL reads the state file, every job saved as printing, or held only for
// its turn (job_order.cpp, whose table a new process does not have), is
// written back as pending; once the server runs, each printer's jobs are put
// in order and the oldest is started, through a hold and release. A job whose record was saved
// before its document arrived gets the document back when it is in the spool whole.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "app.h"

// The highest job id the state file records per printer id: no id at or
// below it is ever given out again, whatever NextJobId says.
constexpr int max_printers = 256;
static int highest_job_id[max_printers];

// State values as PAPPL writes them (ipp_jstate_t).
constexpr int saved_pending = IPP_JSTATE_PENDING;
constexpr int saved_held = IPP_JSTATE_HELD;
constexpr int saved_processing = IPP_JSTATE_PROCESSING;

// What the pass over the state file knows of the printer it is in.
struct printer_section {
    int id = 0;
};

// One NAME="VALUE" list as PAPPL writes it: backslash before '\' and '"'.
static void put_options(std::string &out, const char *name, int num_options,
                        const cups_option_t *options)
{
    out += name;
    for (int i = 0; i < num_options; i++) {
        out += ' ';
        out += options[i].name;
        out += "=\"";
        for (const char *p = options[i].value; *p != '\0'; p++) {
            if (*p == '\\' || *p == '"')
                out += '\\';
            out += *p;
        }
        out += '"';
    }
    out += '\n';
}

static int option_number(const char *name, int num_options, cups_option_t *options)
{
    const char *value = cupsGetOption(name, num_options, options);
    return value != nullptr ? static_cast<int>(std::strtol(value, nullptr, 10)) : 0;
}

// A job saved when it was created, before its document: held, as PAPPL
// creates every job, without the document's name. It was to wait only if
// asked to (job-hold-until): a printer holds new jobs while it prints, for
// their order (job_order.cpp), and the order is settled again at the start.
static int received_state(int num_options, cups_option_t *options)
{
    auto reasons = static_cast<unsigned>(option_number("state_reasons", num_options, options));
    return (reasons & PAPPL_JREASON_JOB_HOLD_UNTIL_SPECIFIED) != 0 ? saved_held : saved_pending;
}

// A Job line: printing becomes pending, a record saved before its document
// gets the document if it is whole; everything else is kept as it was.
static void rewrite_job(std::string &out, const char *line, const char *value,
                        const printer_section &printer, const char *spool_dir)
{
    cups_option_t *options = nullptr;
    int num_options = cupsParseOptions(value, 0, &options);
    int job_id = option_number("id", num_options, options);
    if (printer.id > 0 && printer.id < max_printers && job_id > highest_job_id[printer.id])
        highest_job_id[printer.id] = job_id;
    int state = option_number("state", num_options, options);
    auto reasons = static_cast<unsigned>(option_number("state_reasons", num_options, options));
    bool has_document = cupsGetOption("filename", num_options, options) != nullptr;
    char document[1024];
    int new_state = state;
    bool found_document = false;
    if (state == saved_processing) {
        new_state = saved_pending;
    } else if (state == saved_held && has_document && (reasons & PAPPL_JREASON_JOB_QUEUED) != 0) {
        new_state = saved_pending;
        reasons &= ~static_cast<unsigned>(PAPPL_JREASON_JOB_QUEUED);
        num_options =
            cupsAddOption("state_reasons", std::to_string(reasons).c_str(), num_options, &options);
    } else if (state == saved_held && !has_document &&
               spool_document_find(spool_dir, printer.id, job_id, document, sizeof(document))) {
        num_options = cupsAddOption("filename", document, num_options, &options);
        new_state = received_state(num_options, options);
        found_document = true;
    }
    if (new_state != state || found_document) {
        num_options =
            cupsAddOption("state", std::to_string(new_state).c_str(), num_options, &options);
        put_options(out, "Job", num_options, options);
    } else {
        out += line;
    }
    cupsFreeOptions(num_options, options);
}

bool recovery_prepare(const char *spool_dir)
{
    std::memset(highest_job_id, 0, sizeof(highest_job_id));
    cups_file_t *in = cupsFileOpen(state_latest(), "r");
    if (in == nullptr)
        return true; // the first start
    std::string out;
    char line[2048];
    printer_section printer;
    while (cupsFileGets(in, line, sizeof(line)) != nullptr) {
        std::string whole = std::string(line) + "\n";
        if (std::strncmp(line, "<Printer ", 9) == 0) {
            cups_option_t *options = nullptr;
            std::string value(line + 9);
            if (!value.empty() && value.back() == '>')
                value.pop_back();
            int num_options = cupsParseOptions(value.c_str(), 0, &options);
            printer = printer_section();
            printer.id = option_number("id", num_options, options);
            cupsFreeOptions(num_options, options);
            out += whole;
        } else if (std::strncmp(line, "Job ", 4) == 0) {
            rewrite_job(out, whole.c_str(), line + 4, printer, spool_dir);
        } else {
            out += whole;
        }
    }
    cupsFileClose(in);
    return state_write(out.data(), out.size());
}

static void oldest_pending(pappl_job_t *job, void *data)
{
    auto **oldest = static_cast<pappl_job_t **>(data);
    if (papplJobGetState(job) == IPP_JSTATE_PENDING &&
        (*oldest == nullptr || papplJobGetID(job) < papplJobGetID(*oldest)))
        *oldest = job;
}

static void printer_next_id(pappl_printer_t *printer, void * /*data*/)
{
    int id = papplPrinterGetID(printer);
    if (id > 0 && id < max_printers && papplPrinterGetNextJobID(printer) <= highest_job_id[id])
        papplPrinterSetNextJobID(printer, highest_job_id[id] + 1);
}

// In the periodic checks' first round (periodic_checks.cpp), when jobs may
// be started, with no PAPPL lock held.
void recovery_resume(pappl_printer_t *printer)
{
    // Every pending job but the oldest is held for its turn first: PAPPL
    // would start the newest.
    job_order_settle(printer, nullptr);
    pappl_job_t *oldest = nullptr;
    papplPrinterIterateActiveJobs(printer, oldest_pending, &oldest, 1, 0);
    if (oldest == nullptr)
        return;
    papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO,
                    "Jobs left waiting or printing by the last run print from their start.");
    // Releasing a job is the public way to make PAPPL look for work.
    if (papplJobHold(oldest, nullptr, nullptr, 0))
        papplJobRelease(oldest, nullptr);
}

void recovery_start(pappl_system_t *system)
{
    // Before any client can be answered.
    papplSystemIteratePrinters(system, printer_next_id, nullptr);
}
