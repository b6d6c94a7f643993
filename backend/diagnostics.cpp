// A message is composed in one area and written with a single write, so the
// scheduler never sees a line torn by another writer and a progress line
// costs one system call. A message too long for the area still goes out
// whole, in several writes.
#include "diagnostics.h"

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <libintl.h>
#include <unistd.h>

static char msg_name[256];

// PIPE_BUF: a message of up to this size reaches a pipe in one piece.
static char msg_area[PIPE_BUF];
static size_t msg_used;

static void msg_flush()
{
    size_t done = 0;
    while (done < msg_used) {
        ssize_t n = write(STDERR_FILENO, msg_area + done, msg_used - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    msg_used = 0;
}

static void msg_append(const char *text)
{
    for (size_t left = strlen(text); left > 0;) {
        if (msg_used == sizeof(msg_area))
            msg_flush();
        size_t n = left < sizeof(msg_area) - msg_used ? left : sizeof(msg_area) - msg_used;
        memcpy(msg_area + msg_used, text, n);
        msg_used += n;
        text += n;
        left -= n;
    }
}

static void msg_append_format(const char *format, va_list args)
{
    va_list again;
    va_copy(again, args);
    size_t room = sizeof(msg_area) - msg_used;
    int n = vsnprintf(msg_area + msg_used, room, format, args);
    if (n >= 0 && static_cast<size_t>(n) < room) {
        msg_used += static_cast<size_t>(n);
    } else if (n >= 0) {
        // Rare: only a huge file name gets here.
        char *text = nullptr;
        if (vasprintf(&text, format, again) >= 0) {
            msg_append(text);
            free(text);
        }
    }
    va_end(again);
}

static const char *msg_prefix(int level)
{
    switch (level) {
    case MSG_ERROR:
        return dcgettext(nullptr, "**** ERROR **** : ", LC_MESSAGES);
    case MSG_WARNING:
        return dcgettext(nullptr, "**** WARNING **** : ", LC_MESSAGES);
    case MSG_INFO:
        return dcgettext(nullptr, "**** INFO **** : ", LC_MESSAGES);
    default:
        return "";
    }
}

static void msg_write(int level, int error, const char *format, va_list args)
{
    msg_used = 0;
    if (msg_name[0] != '\0') {
        msg_append(msg_name);
        msg_append(" : ");
    }
    msg_append(msg_prefix(level));
    msg_append_format(format, args);
    if (error != 0) {
        msg_append(" : ");
        msg_append(strerror(error));
    }
    msg_append("\n");
    msg_flush();
}

void msg_report(int level, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    msg_write(level, 0, format, args);
    va_end(args);
}

void msg_fatal(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    msg_write(MSG_ERROR, 0, format, args);
    va_end(args);
    exit(1);
}

void msg_fatal_errno(const char *format, ...)
{
    int error = errno;
    va_list args;
    va_start(args, format);
    msg_write(MSG_ERROR, error, format, args);
    va_end(args);
    exit(1);
}

void msg_set_name(const char *name)
{
    if (name != nullptr && strlen(name) < sizeof(msg_name))
        strcpy(msg_name, name);
}
