#include "job_converter.h"

#include <cerrno>
#include <cstdlib>

#include "converter.h"

volatile sig_atomic_t converter_pid = 0;

// The stream's area is the process's own: one job per process.
static char stream_area[converter_buffer_size];

// SIGTERM stays blocked from the spawn until the pid is stored, so a cancel
// can never miss a converter that is already running.
FILE *job_converter_start(const filter_settings *settings, unsigned width, unsigned height)
{
    sigset_t term;
    sigset_t old;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, &old);
    FILE *stream = nullptr;
    pid_t pid = 0;
    int error = converter_start(settings, width, height, -1, stream_area, sizeof(stream_area),
                                &stream, &pid);
    if (error == 0)
        converter_pid = pid;
    sigprocmask(SIG_SETMASK, &old, nullptr);

    if (error == converter_line_too_long) {
        std::fputs("Converter command line is longer than 255 characters.", stderr);
        std::exit(1);
    }
    if (error != 0) {
        errno = error;
        std::perror("popen");
        std::exit(1);
    }
    return stream;
}

// Rows still in the area that cannot be delivered are a failed row write,
// which leaves the converter running, as every failure of the stream does.
// A converter that then ends badly has not printed the whole job either.
int job_converter_finish(FILE *stream)
{
    if (int error = converter_close(stream)) {
        errno = error;
        std::perror("fwrite");
        return 8;
    }
    char message[converter_message_size];
    if (converter_status_message(converter_wait(converter_pid), message, sizeof(message))) {
        std::fputs(message, stderr);
        return 1;
    }
    return 0;
}

void job_converter_abandon(FILE *stream)
{
    converter_close(stream);
}
