// The converter runs without a shell: option and PPD values come from job
// submitters and would otherwise be shell syntax. It gets a process group of
// its own, so that the scheduler's cancel reaches only this filter, whose
// handler then stops the converter and tells the daemon.
#include "converter.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

volatile sig_atomic_t converter_pid = 0;

// A line of 255 bytes holds at most 128 words.
constexpr int max_words = command_line_size / 2 + 1;
// The stream's area is the process's own: given none, the C library ignores
// the size asked for and buffers a pipe in 4 KiB writes, each one a wake-up
// of the converter.
static char stream_buffer[converter_buffer_size];

bool converter_command_line(char *line, const filter_settings *settings, unsigned width,
                            unsigned height)
{
    int len =
        std::snprintf(line, command_line_size, "%s/velokit-filter %s %d %d %s %s %s", converter_dir,
                      settings->model, static_cast<int>(width), static_cast<int>(height),
                      settings->ink, settings->media, settings->quality);
    return len >= 0 && static_cast<std::size_t>(len) < command_line_size;
}

static bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n';
}

int converter_words(char *line, char **words, int max_words)
{
    int count = 0;
    char *p = line;
    while (*p != '\0' && count < max_words - 1) {
        while (is_blank(*p))
            *p++ = '\0';
        if (*p == '\0')
            break;
        words[count++] = p;
        while (*p != '\0' && !is_blank(*p))
            p++;
    }
    words[count] = nullptr;
    return count;
}

static void fail_popen(int error)
{
    errno = error;
    std::perror("popen");
    std::exit(1);
}

// SIGTERM stays blocked from the spawn until the pid is stored, so a cancel
// can never miss a converter that is already running.
static pid_t spawn_in_own_group(char **words, int stdin_fd)
{
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    sigset_t term;
    sigset_t old;
    sigset_t none;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigemptyset(&none);

    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, stdin_fd, 0);
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setsigmask(&attr, &none);

    sigprocmask(SIG_BLOCK, &term, &old);
    pid_t pid = 0;
    int error = posix_spawn(&pid, words[0], &actions, &attr, words, environ);
    if (error == 0)
        converter_pid = pid;
    sigprocmask(SIG_SETMASK, &old, nullptr);

    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (error != 0)
        fail_popen(error);
    return pid;
}

FILE *converter_start(const filter_settings *settings, unsigned width, unsigned height)
{
    char line[command_line_size];
    if (!converter_command_line(line, settings, width, height)) {
        std::fputs("Converter command line is longer than 255 characters.", stderr);
        std::exit(1);
    }
    char *words[max_words];
    converter_words(line, words, max_words);

    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0)
        fail_popen(errno);
    // A larger pipe lets the filter run ahead while the converter starts and
    // wakes it less often. The kernel may refuse it (a user's pipe allowance
    // is spent); the default pipe then serves as well, only slower.
    fcntl(pipe_fds[1], F_SETPIPE_SZ, converter_pipe_size);
    spawn_in_own_group(words, pipe_fds[0]);
    close(pipe_fds[0]);

    FILE *stream = fdopen(pipe_fds[1], "w");
    if (stream == nullptr)
        fail_popen(errno);
    std::setvbuf(stream, stream_buffer, _IOFBF, sizeof(stream_buffer));
    return stream;
}

void converter_finish(FILE *stream)
{
    std::fclose(stream);
    pid_t pid = converter_pid;
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}
