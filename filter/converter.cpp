// The converter runs without a shell: option and PPD values come from job
// submitters and would otherwise be shell syntax. It gets a process group of
// its own, so that a cancel can reach it and its children, and only them.
#include "converter.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <stdio_ext.h>
#include <sys/wait.h>
#include <unistd.h>

// A line of 255 bytes holds at most 128 words.
constexpr int max_words = command_line_size / 2 + 1;

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

// Both ends of the pipe are close-on-exec, so only this converter holds its
// input open: it sees the end of its input when this process closes it, even
// while other jobs start converters of their own.
int converter_start(const filter_settings *settings, unsigned width, unsigned height, int output_fd,
                    char *area, std::size_t area_size, FILE **stream, pid_t *pid,
                    const child_setup *setup)
{
    char line[command_line_size];
    if (!converter_command_line(line, settings, width, height))
        return converter_line_too_long;
    char *words[max_words];
    converter_words(line, words, max_words);

    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0)
        return errno;
    // A larger pipe lets the writer run ahead while the converter starts and
    // wakes it less often. The kernel may refuse it (a user's pipe allowance
    // is spent); the default pipe then serves as well, only slower.
    fcntl(pipe_fds[1], F_SETPIPE_SZ, converter_pipe_size);

    // The stream first, so that no failure can leave a converter running.
    FILE *input = fdopen(pipe_fds[1], "w");
    if (input == nullptr) {
        int error = errno;
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        return error;
    }
    // Given no area, the C library ignores the size asked for and buffers a
    // pipe in 4 KiB writes, each one a wake-up of the converter.
    if (area != nullptr)
        std::setvbuf(input, area, _IOFBF, area_size);

    child_setup child = setup != nullptr ? *setup : child_setup{};
    child.stdin_fd = pipe_fds[0];
    child.stdout_fd = output_fd;
    int error = child_start(words, &child, pid);
    close(pipe_fds[0]);
    if (error != 0) {
        std::fclose(input);
        return error;
    }
    *stream = input;
    return 0;
}

// A write into the pipe of a converter that has gone away raises SIGPIPE,
// whose default action would end the whole process as if all were well
// (the scheduler takes a filter killed by it for a normal end). Such writes
// run with SIGPIPE blocked on the calling thread, and the signal they raise
// is taken back before it is unblocked: the write just fails with EPIPE.
// The disposition is never touched, so everything else the process writes,
// and the converter, which inherits it, keep what the process was given.
static void hold_broken_pipe(sigset_t *old)
{
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, old);
}

// Only a failed write raises the signal. One the caller had blocked already
// is the caller's to handle.
static void release_broken_pipe(const sigset_t *old, bool failed)
{
    if (failed && sigismember(old, SIGPIPE) == 0) {
        int error = errno;
        sigset_t pipe_signal;
        sigemptyset(&pipe_signal);
        sigaddset(&pipe_signal, SIGPIPE);
        timespec now{};
        while (sigtimedwait(&pipe_signal, nullptr, &now) < 0 && errno == EINTR) {
        }
        errno = error;
    }
    pthread_sigmask(SIG_SETMASK, old, nullptr);
}

// The stream is fully buffered, so a record that fits the area's free space
// is only copied and reaches no pipe: holding the signal costs system calls,
// so it is held only for the writes that may empty the area.
bool converter_write(FILE *stream, const void *data, std::size_t size)
{
    if (__fpending(stream) + size < __fbufsize(stream))
        return std::fwrite(data, size, 1, stream) == 1;
    sigset_t old;
    hold_broken_pipe(&old);
    bool written = std::fwrite(data, size, 1, stream) == 1;
    release_broken_pipe(&old, !written || std::ferror(stream) != 0);
    return written;
}

int converter_close(FILE *stream)
{
    sigset_t old;
    hold_broken_pipe(&old);
    int error = std::fclose(stream) == 0 ? 0 : errno;
    release_broken_pipe(&old, error != 0);
    return error;
}

int converter_wait(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

bool converter_status_message(int wait_status, char *text, std::size_t size)
{
    int len = 0;
    if (wait_status != -1 && WIFSIGNALED(wait_status))
        len = std::snprintf(text, size, "velokit-filter was killed by signal %d.",
                            WTERMSIG(wait_status));
    else if (wait_status != -1 && WIFEXITED(wait_status) && WEXITSTATUS(wait_status) != 0)
        len = std::snprintf(text, size, "velokit-filter exited with status %d.",
                            WEXITSTATUS(wait_status));
    else if (size > 0)
        text[0] = '\0';
    return len > 0;
}
