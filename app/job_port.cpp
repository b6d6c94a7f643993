// The job's port: opened as the backend opens it, waiting while the maker's
// software has it busy, and fed the converter's output through the backend's
// copy, on a thread of its own so the rows never wait for the port.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "print_job.h"

// As the backend: a busy port is tried again every 30 seconds, for ever. The
// wait goes in steps of a second so that a cancel ends it at once.
constexpr int busy_retry_seconds = 30;

static bool wait_busy(print_job *pj, pappl_printer_t *printer)
{
    papplPrinterSetReasons(printer, PAPPL_PREASON_OTHER, PAPPL_PREASON_NONE);
    papplJobSetMessage(pj->job, "VELO port busy; will retry in 30 seconds...");
    papplLogJob(pj->job, PAPPL_LOGLEVEL_INFO, "VELO port busy; will retry in 30 seconds...");
    for (int waited = 0; waited < busy_retry_seconds; waited++) {
        if (job_halted(pj))
            return false;
        sleep(1);
    }
    return true;
}

bool port_open_waiting(print_job *pj)
{
    pappl_printer_t *printer = papplJobGetPrinter(pj->job);
    char path[PORT_PATH_MAX + 1];
    http_uri_status_t status = HTTP_URI_STATUS_OK;
    const char *uri = papplPrinterGetDeviceURI(printer);
    if (!port_uri_accepted(uri) || port_uri_path(uri, path, &status) > PORT_PATH_MAX) {
        papplJobSetMessage(pj->job, "'%s' is not a port of the maker's software.", uri);
        return false;
    }
    bool waited = false;
    bool opened = false;
    for (;;) {
        int fd = port_open(path);
        printer_port_seen(printer, fd >= 0 || fd == -EBUSY);
        if (fd >= 0) {
            pj->port = fd;
            opened = true;
            break;
        }
        if (fd != -EBUSY) {
            papplJobSetMessage(pj->job, "Unable to open VELO port device file \"%s\": %s", path,
                               std::strerror(-fd));
            papplLogJob(pj->job, PAPPL_LOGLEVEL_ERROR,
                        "Unable to open VELO port device file \"%s\": %s", path,
                        std::strerror(-fd));
            break;
        }
        waited = true;
        if (!wait_busy(pj, printer))
            break;
    }
    if (waited) {
        papplPrinterSetReasons(printer, PAPPL_PREASON_NONE, PAPPL_PREASON_OTHER);
        if (opened)
            papplJobSetMessage(pj->job, "Printing.");
    }
    return opened;
}

// What is left of the converter's output after a failed write goes nowhere:
// the job has failed, and the converter must not be left blocked on a full
// pipe.
static void drain(int input, char *area, std::size_t size)
{
    for (;;) {
        ssize_t n = read(input, area, size);
        if (n == 0 || (n < 0 && errno != EINTR))
            return;
    }
}

static void copy_failure(print_job *pj, const char *format, const char *detail)
{
    if (!pj->copy_failed.exchange(true))
        std::snprintf(pj->copy_message, sizeof(pj->copy_message), format, detail);
}

static void *copy_output(void *arg)
{
    auto *pj = static_cast<print_job *>(arg);
    port_copy copy;
    port_copy_start(&copy, pj->output, pj->port, pj->copy_area, sizeof(pj->copy_area));
    for (;;) {
        port_copy_result result = port_copy_chunk(&copy);
        if (result == PORT_CHUNK_WRITTEN) {
            stall_progress(pj);
            continue;
        }
        if (result == PORT_CHUNK_DROPPED) {
            copy_failure(pj, "Unable to send print file to printer: %s.",
                         copy.write_error != 0 ? std::strerror(copy.write_error)
                                               : "the port took nothing");
            drain(pj->output, pj->copy_area, sizeof(pj->copy_area));
        } else if (result == PORT_PASS_READ_FAILED) {
            copy_failure(pj, "Unable to read the output of velokit-filter: %s.",
                         std::strerror(copy.read_error));
        } else if (result == PORT_PASS_REMOVED) {
            copy_failure(pj, "%s", "The port file was removed while printing.");
            drain(pj->output, pj->copy_area, sizeof(pj->copy_area));
        }
        break;
    }
    papplLogJob(pj->job, PAPPL_LOGLEVEL_INFO, "%lu bytes of printer data for the port.",
                copy.bytes);
    return nullptr;
}

bool copier_start(print_job *pj)
{
    int error = pthread_create(&pj->copier, nullptr, copy_output, pj);
    if (error != 0) {
        papplJobSetMessage(pj->job, "Cannot start the copy to the port: %s", std::strerror(error));
        return false;
    }
    pj->copier_running = true;
    return true;
}

bool copier_finish(print_job *pj)
{
    if (pj->copier_running) {
        pthread_join(pj->copier, nullptr);
        pj->copier_running = false;
    }
    if (pj->output >= 0) {
        close(pj->output);
        pj->output = -1;
    }
    if (!pj->copy_failed)
        return true;
    papplJobSetMessage(pj->job, "%s", pj->copy_message);
    papplLogJob(pj->job, PAPPL_LOGLEVEL_ERROR, "%s", pj->copy_message);
    return false;
}
