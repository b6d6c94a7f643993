// The maker's print converter: started once per job, fed rows on its standard
// input. Shared by every program that drives the converter (velokit_converter):
// nothing here ends the process, writes a message or keeps anything of a job
// in a process-wide value, so several jobs may run at once on threads of one
// process. Failures are handed back; each program reports them its own way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sys/types.h>

#include "child_process.h"
#include "filter_settings.h"

constexpr const char *converter_dir = "/usr/lib/cups/filter";
constexpr std::size_t command_line_size = 256;
// The size asked for the pipe to the converter: what an unprivileged process
// may ask for by default.
constexpr int converter_pipe_size = 1 << 20;
// The stream's area that callers should give: rows then leave it in writes of
// this size, four of which the pipe holds. Smaller areas work, only slower.
constexpr std::size_t converter_buffer_size = converter_pipe_size / 4;
// converter_start's failure for a command line that does not fit its area;
// every other failure is an errno value, which is positive.
constexpr int converter_line_too_long = -1;
// A text area that holds any message of converter_status_message.
constexpr std::size_t converter_message_size = 64;

// Bytes sent per row: the pixel data rounded up to a multiple of 4, computed
// in 64 bits so that no row size a raster header may claim can wrap.
constexpr std::uint64_t row_stride(std::uint32_t bytes_per_line)
{
    return (static_cast<std::uint64_t>(bytes_per_line) * 8 + 31) / 32 * 4;
}

// Formats the converter's command line into line (command_line_size bytes);
// false if it would not fit.
bool converter_command_line(char *line, const filter_settings *settings, unsigned width,
                            unsigned height);

// Splits a command line in place at blanks, where the shell would split it.
// Returns the number of words stored in words[], which gets a null after them.
int converter_words(char *line, char **words, int max_words);

// Starts the converter for a job whose first page is width x height, without
// a shell, in a process group of its own and with no signal blocked
// (child_start).
//   output_fd  becomes its standard output; -1 leaves it this process's own.
//              Give a descriptor with FD_CLOEXEC set, so that converters of
//              other jobs started meanwhile do not hold it open.
//   area       the stream's buffer of area_size bytes (converter_buffer_size
//              is best), the caller's until converter_close has returned; one
//              per job. nullptr leaves the choice to the C library.
// On success returns 0, *stream is the buffered stream to its standard input
// and *pid its pid, which is also its process group. On failure returns
// converter_line_too_long or the errno value of the call that failed, and
// nothing is left running or open. Signals are the caller's affair: to store
// the pid where a signal handler reads it, block that signal around the call.
//   setup      the user it runs as and whether it dies with its starter;
//              its descriptors are set here. nullptr: neither.
int converter_start(const filter_settings *settings, unsigned width, unsigned height, int output_fd,
                    char *area, std::size_t area_size, FILE **stream, pid_t *pid,
                    const child_setup *setup = nullptr);

// Writes one record (one row) to the converter's stream; false when the
// stream reports it unwritten, errno then telling why. The stream is
// buffered: a failure can surface at a later row than the one it concerns.
// A converter that has gone away makes it fail with EPIPE; it never raises
// SIGPIPE, whose disposition stays the caller's (SIGPIPE is blocked on the
// calling thread only while a write may reach the pipe, and the signal that
// write raised is taken back; one the thread blocks itself is left to it).
bool converter_write(FILE *stream, const void *data, std::size_t size);

// Ends the converter's input: delivers what the stream's area still holds and
// closes the stream, without SIGPIPE as converter_write. Returns 0, or the
// errno value of the write or close that failed (rows were then lost). The
// stream is gone either way; the converter is not waited for.
int converter_close(FILE *stream);

// Waits for the converter started as pid to end and returns its wait status,
// or -1 when it cannot be waited for (errno tells why).
int converter_wait(pid_t pid);

// What a wait status of the converter has to report: writes "velokit-filter
// was killed by signal N." or "velokit-filter exited with status N." into
// text (size bytes, converter_message_size is enough) and returns true; for
// an exit with status 0, or -1 from converter_wait (no status to judge), text
// is empty and it returns false.
bool converter_status_message(int wait_status, char *text, std::size_t size);
