// The raster callbacks: every job, whatever it came in as, reaches the
// maker's converter as the filter feeds it. The converter starts at the first
// page with the filter's command line (model, the first page's width and
// height, ink, media, quality), every row goes to it padded to row_stride,
// and its output goes to the port.
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <sys/wait.h>
#include <unistd.h>

#include "print_job.h"

// The job's message and log say why it failed; returns false.
__attribute__((format(printf, 2, 3))) static bool job_failure(print_job *pj, const char *format,
                                                              ...)
{
    char message[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    papplJobSetMessage(pj->job, "%s", message);
    papplLogJob(pj->job, PAPPL_LOGLEVEL_ERROR, "%s", message);
    return false;
}

// The converter's words describe the rows it gets: the ink from the raster's
// colours, the quality from its resolution, the media from the job's size.
static bool settle(print_job *pj, const pappl_pr_options_t *options)
{
    const cups_page_header2_t *header = &options->header;
    const model_info *model = pj->model;
    if (header->cupsBitsPerColor != 8 || (header->cupsNumColors != 1 && header->cupsNumColors != 3))
        return job_failure(pj, "The raster is neither 8-bit gray nor 8-bit RGB.");
    bool color = header->cupsNumColors == 3;
    const char *ink = nullptr;
    for (int i = 0; i < model->num_inks && ink == nullptr; i++) {
        if (model->inks[i].color == color)
            ink = model->inks[i].keyword;
    }
    const char *quality = nullptr;
    for (int i = 0; i < model->num_qualities && quality == nullptr; i++) {
        if (static_cast<unsigned>(model->qualities[i].dpi) == header->HWResolution[0] &&
            header->HWResolution[0] == header->HWResolution[1])
            quality = model->qualities[i].keyword;
    }
    const char *media = nullptr;
    for (int i = 0; i < model->num_media && media == nullptr; i++) {
        if (std::strcmp(model->media[i].pwg_name, options->media.size_name) == 0) {
            pj->media = &model->media[i];
            media = pj->media->keyword;
        }
    }
    if (ink == nullptr)
        return job_failure(pj, "This model has no ink for %s raster.", color ? "RGB" : "gray");
    if (quality == nullptr)
        return job_failure(pj, "This model prints at no such resolution.");
    if (media == nullptr)
        return job_failure(pj, "This model has no media %s.", options->media.size_name);
    settings_clear(&pj->settings);
    if (!setting_store(pj->settings.model, model->model_name, std::strlen(model->model_name)) ||
        !setting_store(pj->settings.ink, ink, std::strlen(ink)) ||
        !setting_store(pj->settings.media, media, std::strlen(media)) ||
        !setting_store(pj->settings.quality, quality, std::strlen(quality)))
        return job_failure(pj, "A converter setting is longer than 255 characters.");
    return true;
}

// The PPD's imageable area of the job's media, in pixels of this page.
static void page_area(print_job *pj, const cups_page_header2_t *header)
{
    const model_media *m = pj->media;
    double xres = header->HWResolution[0] / 72.0;
    double yres = header->HWResolution[1] / 72.0;
    auto pixels = [](double points, double per_point, unsigned limit) {
        double n = std::floor(points * per_point);
        return n <= 0 ? 0U : n >= limit ? limit : static_cast<unsigned>(n);
    };
    pj->area_x = pixels(m->left, xres, header->cupsWidth);
    pj->area_y = pixels(m->length_pt - m->top, yres, header->cupsHeight);
    pj->area_width = pixels(m->right - m->left, xres, header->cupsWidth - pj->area_x);
    pj->area_height = pixels(m->top - m->bottom, yres, header->cupsHeight - pj->area_y);
    pj->pixel_bytes = header->cupsBitsPerPixel / 8;
}

static bool converter_begin(print_job *pj, const pappl_pr_options_t *options)
{
    if (!settle(pj, options))
        return false;
    page_area(pj, &options->header);
    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0)
        return job_failure(pj, "Cannot start velokit-filter: %s", std::strerror(errno));
    child_setup setup{};
    child_user user{};
    int error = document_child_setup(&setup, &user);
    if (error != 0) {
        close(output[0]);
        close(output[1]);
        return job_failure(pj, "Cannot start velokit-filter as user lp: %s", std::strerror(error));
    }
    pthread_mutex_lock(&pj->converter_lock);
    if (!pj->canceled)
        error = converter_start(&pj->settings, pj->area_width, pj->area_height, output[1],
                                pj->stream_area, sizeof(pj->stream_area), &pj->converter,
                                &pj->converter_pid, &setup);
    pthread_mutex_unlock(&pj->converter_lock);
    close(output[1]);
    pj->output = output[0];
    if (pj->converter == nullptr) {
        if (error == converter_line_too_long)
            return job_failure(pj, "Converter command line is longer than 255 characters.");
        return job_failure(pj, "Cannot start velokit-filter: %s",
                           error != 0 ? std::strerror(error) : "the job is canceled");
    }
    papplLogJob(pj->job, PAPPL_LOGLEVEL_INFO, "Started velokit-filter %s %u %u %s %s %s.",
                pj->settings.model, pj->area_width, pj->area_height, pj->settings.ink,
                pj->settings.media, pj->settings.quality);
    return copier_start(pj);
}

// Ends the converter's input and waits for it. The watcher may signal its
// group until the wait has seen it end, and never after it is reaped.
static bool converter_end(print_job *pj)
{
    if (pj->converter_pid <= 0) {
        if (pj->converter != nullptr)
            converter_close(pj->converter);
        pj->converter = nullptr;
        return true;
    }
    int error = converter_close(pj->converter);
    pj->converter = nullptr;
    siginfo_t info;
    while (waitid(P_PID, pj->converter_pid, &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    pthread_mutex_lock(&pj->converter_lock);
    pj->converter_reaped = true;
    pthread_mutex_unlock(&pj->converter_lock);
    int status = converter_wait(pj->converter_pid);

    char text[converter_message_size];
    if (job_canceled(pj->job))
        return true;
    if (server_stopping())
        return false;
    if (converter_status_message(status, text, sizeof(text)))
        return job_failure(pj, "%s", text);
    if (error != 0)
        return job_failure(pj, "Unable to send rows to velokit-filter: %s", std::strerror(error));
    return true;
}

// The job's end, however it ends: before PAPPL looks for the next job, the
// oldest waiting one is made the one it finds.
static void release(print_job *pj)
{
    pappl_job_t *job = pj->job;
    watcher_stop(pj);
    printing_remove(pj);
    if (pj->port >= 0)
        close(pj->port);
    std::free(pj->row);
    job_set_printing(job, nullptr);
    delete pj;
    job_order_settle(papplJobGetPrinter(job), job);
}

// PAPPL 1.3.1 starts a raster it receives even on a paused printer: such a
// job waits here until the printer is resumed, the printer paused again so
// that nothing starts after it either.
static bool wait_while_paused(print_job *pj)
{
    pappl_printer_t *printer = papplJobGetPrinter(pj->job);
    if (!printer_paused(printer))
        return true;
    papplPrinterPause(printer);
    papplJobSetMessage(pj->job, "The printer is paused.");
    papplLogJob(pj->job, PAPPL_LOGLEVEL_INFO, "Waiting until the printer is resumed.");
    timespec interval{0, 100L * 1000 * 1000};
    while (printer_paused(printer)) {
        if (job_halted(pj))
            return false;
        nanosleep(&interval, nullptr);
    }
    papplJobSetMessage(pj->job, "Printing.");
    return true;
}

// A second thread of a job that another prints (job_claim.cpp) goes through
// the raster callbacks doing nothing and ends with the other one's result:
// here it may be a client's thread (PWG raster is printed as it arrives), so
// it waits for that result instead of ending.
static thread_local pappl_job_t *duplicate_job = nullptr;
static thread_local bool duplicate_result = false;

bool job_start(pappl_job_t *job, pappl_pr_options_t * /*options*/, pappl_device_t * /*device*/)
{
    job_claim_t claim = job_claim(job, &duplicate_result);
    if (claim != CLAIM_OWNER) {
        if (claim == CLAIM_PRINTING_ELSEWHERE)
            duplicate_result = job_claim_wait(job);
        duplicate_job = job;
        return true;
    }
    job_order_started(job);
    auto *pj = new (std::nothrow) print_job;
    if (pj == nullptr) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Cannot allocate the job's areas.");
        job_unclaim(job, false);
        return false;
    }
    pj->job = job;
    job_set_printing(job, pj);
    pj->model = model_find(papplPrinterGetDriverName(papplJobGetPrinter(job)));
    printing_add(pj);
    // The watcher first: a cancel while the port is busy still tells the daemon.
    stall_progress(pj);
    bool started = pj->model != nullptr && !server_stopping() && watcher_start(pj) &&
                   wait_while_paused(pj) && port_open_waiting(pj);
    if (!started) {
        release(pj);
        job_unclaim(job, false);
    }
    return started;
}

bool job_start_page(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t * /*device*/,
                    unsigned /*page*/)
{
    if (duplicate_job == job)
        return true;
    print_job *pj = job_printing(job);
    if (pj == nullptr || pj->failed)
        return false;
    if (pj->converter == nullptr && !converter_begin(pj, options)) {
        pj->failed = true;
        return false;
    }
    page_area(pj, &options->header);
    std::uint64_t stride = row_stride(static_cast<std::uint32_t>(pj->area_width) * pj->pixel_bytes);
    if (stride > UINT32_MAX || stride == 0) {
        pj->failed = true;
        return job_failure(pj, "Raster row is too large.");
    }
    // Zeroed once: the pad bytes after each row's pixels stay zero.
    pj->row = static_cast<unsigned char *>(std::calloc(1, stride));
    if (pj->row == nullptr) {
        pj->failed = true;
        return job_failure(pj, "Cannot allocate the raster row area.");
    }
    pj->row_size = stride;
    pj->page_rows = options->header.cupsHeight;
    pj->rows_received = 0;
    return true;
}

bool job_write_row(pappl_job_t *job, pappl_pr_options_t * /*options*/, pappl_device_t * /*device*/,
                   unsigned y, const unsigned char *row)
{
    if (duplicate_job == job)
        return true;
    print_job *pj = job_printing(job);
    if (pj == nullptr || pj->failed || pj->converter == nullptr || pj->row == nullptr)
        return false;
    pj->rows_received++;
    if (y < pj->area_y || y - pj->area_y >= pj->area_height)
        return true;
    // Straight from PAPPL's row when no pad bytes are needed.
    const unsigned char *record = row + static_cast<std::size_t>(pj->area_x) * pj->pixel_bytes;
    std::size_t bytes = static_cast<std::size_t>(pj->area_width) * pj->pixel_bytes;
    if (bytes != pj->row_size) {
        std::memcpy(pj->row, record, bytes);
        record = pj->row;
    }
    pj->writing = true;
    bool written = converter_write(pj->converter, record, pj->row_size);
    pj->writing = false;
    stall_progress(pj);
    if (written)
        return true;
    int error = errno;
    pj->failed = true;
    if (!job_halted(pj))
        job_failure(pj, "Unable to send rows to velokit-filter: %s", std::strerror(error));
    return false;
}

// A page whose data ended before its last row fails the job, as the filter
// fails on a short read: PAPPL 1.3.1 reads such a raster to its end and
// would call the job completed.
bool job_end_page(pappl_job_t *job, pappl_pr_options_t * /*options*/, pappl_device_t * /*device*/,
                  unsigned page)
{
    if (duplicate_job == job)
        return true;
    print_job *pj = job_printing(job);
    if (pj == nullptr)
        return false;
    std::free(pj->row);
    pj->row = nullptr;
    if (!pj->failed && pj->rows_received < pj->page_rows && !job_canceled(job)) {
        pj->failed = true;
        job_failure(pj, "The raster's page %u ended after %u of its %u rows.", page,
                    pj->rows_received, pj->page_rows);
    }
    return !pj->failed;
}

// A job whose data did not reach the port whole is never completed.
bool job_end(pappl_job_t *job, pappl_pr_options_t * /*options*/, pappl_device_t * /*device*/)
{
    if (duplicate_job == job) {
        duplicate_job = nullptr;
        return duplicate_result;
    }
    print_job *pj = job_printing(job);
    if (pj == nullptr)
        return false;
    bool ok = !pj->failed;
    ok = converter_end(pj) && ok;
    ok = copier_finish(pj) && ok;
    bool canceled = papplJobIsCanceled(job);
    // PAPPL may have marked a streamed job aborted already, which reads as
    // cancelled.
    bool stopped = !ok && !job_canceled(job) && server_stopping();
    if (!ok && !canceled && !stopped)
        papplJobSetReasons(job, PAPPL_JREASON_JOB_COMPLETED_WITH_ERRORS, PAPPL_JREASON_NONE);
    // A streamed job has no document to print again after the next start.
    if (stopped && papplJobGetFilename(job) == nullptr)
        papplJobSetMessage(job, "The server stopped while this job printed; send it again.");
    release(pj);
    job_unclaim(job, ok || canceled);
    return ok || canceled;
}
