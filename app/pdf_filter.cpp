// PDF, which desktop clients send: Ghostscript renders it to PWG raster at
// the job's resolution, in the job's colours and on its media, and the pages
// go through the same raster callbacks as any other job.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "app.h"

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
    std::vector<std::string> args = {"gs",
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
                                     papplJobGetFilename(job)};
    std::vector<char *> argv(args.size() + 1, nullptr);
    std::transform(args.begin(), args.end(), argv.begin(),
                   [](std::string &arg) { return arg.data(); });

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
    int error = posix_spawn(&gs->pid, ghostscript, &actions, &attr, argv.data(), environ);
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
    bool ok = print_raster_stream(job, options, device, gs.output);
    int status = ghostscript_finish(&gs, !ok || papplJobIsCanceled(job));
    if (ok && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
        papplJobSetMessage(job, "Ghostscript could not render the document.");
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Ghostscript ended with wait status %d.", status);
        ok = false;
    }
    papplJobDeletePrintOptions(options);
    return job_park_when_stopped(job, ok || papplJobIsCanceled(job));
}
