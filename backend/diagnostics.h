// The backend's messages to the scheduler, one per call, on standard error.
#pragma once

enum {
    MSG_ERROR = 0,
    MSG_WARNING = 1,
    MSG_INFO = 2,
    MSG_PLAIN = 3, // and any other value: no level prefix
};

void msg_report(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
[[noreturn]] void msg_fatal(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Adds the text of errno as it was at entry.
[[noreturn]] void msg_fatal_errno(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Names longer than 255 characters are ignored.
void msg_set_name(const char *name);
