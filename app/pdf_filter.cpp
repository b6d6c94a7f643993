// PDF, which desktop clients send: Ghostscript renders it to PWG raster at
// the job's resolution, in the job's colours and on its media, and the pages
// go through the same raster callbacks as any other job.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/wait.h>
#include <unistd.h>

#include "print_job.h"

struct ghostscript_run {
    pid_t pid = -1;
    int output = -1;
};

static int points(int hundredths_mm)
{
    return (hundredths_mm * 72 + 1270) / 2540;
}

// No shell: nothing of the job may ever be read as a command. Ghostscript
// reads the document from its standard input, a descriptor of the spool file
// opened here (it copies a PDF on a pipe to a temporary file of its own, so
// seeking works as usual), and runs as the converter does: its own process
// group, so a cancel of the server's group never reaches it half-way, and as
// user lp under a root server.
static int ghostscript_start(const char *document_path, const pappl_pr_options_t *options,
                             ghostscript_run *gs)
{
    char resolution[32];
    char width[48];
    char height[48];
    char space[32];
    std::snprintf(resolution, sizeof(resolution), "-r%dx%d", options->printer_resolution[0],
                  options->printer_resolution[1]);
    std::snprintf(width, sizeof(width), "-dDEVICEWIDTHPOINTS=%d",
                  points(options->media.size_width));
    std::snprintf(height, sizeof(height), "-dDEVICEHEIGHTPOINTS=%d",
                  points(options->media.size_length));
    // sRGB or sGray, as the job's colour mode asks.
    std::snprintf(space, sizeof(space), "-dcupsColorSpace=%d",
                  options->print_color_mode == PAPPL_COLOR_MODE_COLOR ? 19 : 18);
    child_user user{};
    child_setup setup{};
    int error = document_child_setup(&setup, &user);
    if (error != 0)
        return error;
    int pipe_fds[2] = {-1, -1};
    int document = open(document_path, O_RDONLY | O_CLOEXEC);
    int discard = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (document < 0 || discard < 0 || pipe2(pipe_fds, O_CLOEXEC) != 0)
        error = errno;
    if (error == 0) {
        // execve takes writable words.
        char program[] = "/usr/bin/gs";
        char quiet[] = "-q";
        char no_pause[] = "-dNOPAUSE";
        char batch[] = "-dBATCH";
        char safer[] = "-dSAFER";
        char device[] = "-sDEVICE=pwgraster";
        char bits[] = "-dcupsBitsPerColor=8";
        char fixed[] = "-dFIXEDMEDIA";
        char fit[] = "-dPDFFitPage";
        char messages[] = "-sstdout=%stderr";
        char output[] = "-sOutputFile=%stdout";
        char input[] = "-";
        char *argv[] = {program, quiet,    no_pause,   batch, safer,  device,
                        bits,    space,    resolution, width, height, fixed,
                        fit,     messages, output,     input, nullptr};
        setup.stdin_fd = document;
        setup.stdout_fd = pipe_fds[1];
        setup.stderr_fd = discard;
        error = child_start(argv, &setup, &gs->pid);
    }
    for (int fd : {document, discard, pipe_fds[1]}) {
        if (fd >= 0)
            close(fd);
    }
    if (error != 0) {
        if (pipe_fds[0] >= 0)
            close(pipe_fds[0]);
        return error;
    }
    gs->output = pipe_fds[0];
    return 0;
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

static bool render_pdf(pappl_job_t *job, pappl_device_t *device)
{
    char document[1024];
    if (!job_document_path(job, document, sizeof(document)))
        return false;
    pappl_pr_options_t *options = papplJobCreatePrintOptions(job, 0, true);
    if (options == nullptr)
        return false;
    ghostscript_run gs;
    if (int error = ghostscript_start(document, options, &gs); error != 0) {
        papplJobSetMessage(job, "Cannot start Ghostscript: %s", std::strerror(error));
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Cannot start Ghostscript: %s",
                    std::strerror(error));
        papplJobDeletePrintOptions(options);
        return false;
    }
    bool ok = print_raster_stream(job, options, device, gs.output);
    int status = ghostscript_finish(&gs, !ok || papplJobIsCanceled(job));
    if (ok && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
        papplJobSetMessage(job, "Ghostscript could not render the document.");
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Ghostscript ended with wait status %d.", status);
        ok = false;
    }
    papplJobDeletePrintOptions(options);
    return ok || papplJobIsCanceled(job);
}

bool pdf_filter(pappl_job_t *job, pappl_device_t *device, void * /*data*/)
{
    bool result = false;
    if (!job_filter_claim(job, nullptr, &result))
        return result;
    return job_filter_done(job, render_pdf(job, device));
}
