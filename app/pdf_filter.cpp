// PDF, which desktop clients send: Ghostscript renders it to PWG raster at
// the job's resolution, in the job's colours and on its media, and the pages
// go through the same raster callbacks as any other job.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "app.h"

extern char **environ;

constexpr const char *ghostscript = "/usr/bin/gs";

struct ghostscript_run {
    pid_t pid = -1;
    int output = -1;
};

static int points(int hundredths_mm)
{
    return (hundredths_mm * 72 + 1270) / 2540;
}

// No shell: the document's name is the spool file's, but nothing else may
// ever be read as a command either. Its own process group, like the
// converter, so a cancel of the server's group never reaches it half-way.
static bool ghostscript_start(pappl_job_t *job, const pappl_pr_options_t *options,
                              ghostscript_run *gs)
{
    char resolution[32], width[48], height[48], space[32];
    std::snprintf(resolution, sizeof(resolution), "-r%dx%d", options->printer_resolution[0],
                  options->printer_resolution[1]);
    std::snprintf(width, sizeof(width), "-dDEVICEWIDTHPOINTS=%d",
                  points(options->media.size_width));
    std::snprintf(height, sizeof(height), "-dDEVICEHEIGHTPOINTS=%d",
                  points(options->media.size_length));
    // sRGB or sGray, as the job's colour mode asks.
    std::snprintf(space, sizeof(space), "-dcupsColorSpace=%d",
                  options->print_color_mode == PAPPL_COLOR_MODE_COLOR ? 19 : 18);
    const char *file = papplJobGetFilename(job);
    const char *argv[] = {"gs",
                          "-q",
                          "-dNOPAUSE",
                          "-dBATCH",
                          "-dSAFER",
                          "-sDEVICE=pwgraster",
                          "-dcupsBitsPerColor=8",
                          space,
                          resolution,
                          width,
                          height,
                          "-dFIXEDMEDIA",
                          "-dPDFFitPage",
                          "-sstdout=%stderr",
                          "-sOutputFile=%stdout",
                          "-f",
                          file,
                          nullptr};

    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    int error =
        posix_spawn(&gs->pid, ghostscript, &actions, &attr, const_cast<char **>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(pipe_fds[1]);
    if (error != 0) {
        close(pipe_fds[0]);
        errno = error;
        return false;
    }
    gs->output = pipe_fds[0];
    return true;
}

// Returns the wait status, after stopping Ghostscript when the job no longer
// wants its pages.
static int ghostscript_finish(ghostscript_run *gs, bool stop)
{
    if (gs->output >= 0)
        close(gs->output);
    if (stop)
        kill(-gs->pid, SIGTERM);
    int status = 0;
    while (waitpid(gs->pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// PAPPL's own check of a client's raster, applied to Ghostscript's.
static bool header_usable(const cups_page_header2_t *header)
{
    return header->cupsWidth > 0 && header->cupsHeight > 0 && header->cupsBitsPerColor == 8 &&
           header->cupsColorOrder == CUPS_ORDER_CHUNKED &&
           header->cupsBytesPerLine == (header->cupsWidth * header->cupsBitsPerPixel + 7) / 8;
}

static bool print_page(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                       cups_raster_t *raster, unsigned page, std::vector<unsigned char> &row)
{
    if (!job_start_page(job, options, device, page))
        return false;
    row.resize(options->header.cupsBytesPerLine);
    bool ok = true;
    for (unsigned y = 0; ok && y < options->header.cupsHeight && !papplJobIsCanceled(job); y++) {
        ok = cupsRasterReadPixels(raster, row.data(), options->header.cupsBytesPerLine) != 0 &&
             job_write_row(job, options, device, y, row.data());
    }
    ok = job_end_page(job, options, device, page) && ok;
    papplJobSetImpressionsCompleted(job, 1);
    return ok;
}

static bool print_pages(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                        int input)
{
    cups_raster_t *raster = cupsRasterOpen(input, CUPS_RASTER_READ);
    if (raster == nullptr)
        return false;
    std::vector<unsigned char> row;
    unsigned page = 0;
    bool ok = true;
    cups_page_header2_t header;
    while (ok && !papplJobIsCanceled(job) && cupsRasterReadHeader2(raster, &header) != 0) {
        if (!header_usable(&header)) {
            papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Ghostscript made unusable raster.");
            ok = false;
            break;
        }
        options->header = header;
        ok = print_page(job, options, device, raster, ++page, row);
    }
    cupsRasterClose(raster);
    if (ok && page == 0 && !papplJobIsCanceled(job)) {
        papplJobSetMessage(job, "The document has no pages that can be printed.");
        ok = false;
    }
    return ok;
}

bool pdf_filter(pappl_job_t *job, pappl_device_t *device, void * /*data*/)
{
    pappl_pr_options_t *options = papplJobCreatePrintOptions(job, 0, true);
    if (options == nullptr)
        return false;
    ghostscript_run gs;
    if (!ghostscript_start(job, options, &gs)) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Cannot start Ghostscript: %s",
                    std::strerror(errno));
        papplJobDeletePrintOptions(options);
        return false;
    }
    bool ok = job_start(job, options, device);
    if (ok) {
        ok = print_pages(job, options, device, gs.output);
        ok = job_end(job, options, device) && ok;
    }
    int status = ghostscript_finish(&gs, !ok || papplJobIsCanceled(job));
    if (ok && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
        papplJobSetMessage(job, "Ghostscript could not render the document.");
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Ghostscript ended with wait status %d.", status);
        ok = false;
    }
    papplJobDeletePrintOptions(options);
    return ok || papplJobIsCanceled(job);
}
