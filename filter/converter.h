// The maker's print converter: started once per job, fed on its standard input.
#pragma once

#include <csignal>
#include <cstdio>

#include "filter_settings.h"

constexpr const char *converter_dir = "/usr/lib/cups/filter";
constexpr std::size_t command_line_size = 256;
// The size asked for the pipe to the converter: what an unprivileged process
// may ask for by default.
constexpr int converter_pipe_size = 1 << 20;
// Rows leave the stream in writes of this size, four of which the pipe holds.
constexpr std::size_t converter_buffer_size = converter_pipe_size / 4;

// The converter's pid, which is also its process group; 0 while none runs.
// The cancel handler reads it, hence the signal-safe type.
extern volatile sig_atomic_t converter_pid;

// Formats the converter's command line; false if it would not fit its area.
bool converter_command_line(char *line, const filter_settings *settings, unsigned width,
                            unsigned height);

// Splits a command line in place at blanks, where the shell would split it.
// Returns the number of words stored in words[], which gets a null after them.
int converter_words(char *line, char **words, int max_words);

// Starts the converter with its standard input a buffered stream from this
// process. Exits with status 1 and a message when it cannot.
FILE *converter_start(const filter_settings *settings, unsigned width, unsigned height);

// Ends the converter's input and waits for it to finish.
void converter_finish(FILE *stream);
