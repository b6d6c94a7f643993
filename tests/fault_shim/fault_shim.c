/* Plays the failures of a port device file for the backend's tests, loaded
 * with LD_PRELOAD. Only the descriptor opened on FAULT_PORT is touched, so
 * the backend's messages and input are never disturbed.
 *
 *   FAULT_PORT    path of the port device file
 *   FAULT_LOG     file that gets one line per event: "open FLAGS RESULT",
 *                 "write REQUESTED RESULT" and "sleep SECONDS"; a failure's
 *                 result is minus its errno
 *   FAULT_BUSY    number of opens of the port that fail with EBUSY first
 *                 (-1: all of them)
 *   FAULT_WRITES  actions for the port's successive writes, comma-separated;
 *                 the last one repeats: ok, half (half the bytes, at least
 *                 one), rand (a pseudo-random part), zero (0 bytes taken),
 *                 enotty, eio, eintr, mix (a pseudo-random one of all these,
 *                 mostly ok), gone (the port file is unlinked, then ok)
 *   FAULT_SEED    seed of the pseudo-random choices (rand, mix)
 *   FAULT_SLEEP   "real" sleeps; otherwise sleep is recorded and returns at once
 *   FAULT_SETUID  "eperm": changing the user fails with EPERM
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int port_fd = -1;
static int busy_done;
static int write_count;
static unsigned long random_state = 12345;

static void *next_symbol(const char *name)
{
    return dlsym(RTLD_NEXT, name);
}

static ssize_t real_write(int fd, const void *data, size_t size)
{
    static ssize_t (*next)(int, const void *, size_t);
    if (next == NULL)
        next = (ssize_t(*)(int, const void *, size_t))next_symbol("write");
    return next(fd, data, size);
}

static int real_open(const char *path, int flags, mode_t mode)
{
    static int (*next)(const char *, int, ...);
    if (next == NULL)
        next = (int (*)(const char *, int, ...))next_symbol("open");
    return next(path, flags, mode);
}

static void record(const char *format, ...)
{
    const char *path = getenv("FAULT_LOG");
    if (path == NULL)
        return;
    int saved = errno;
    char line[128];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    int fd = real_open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        real_write(fd, line, (size_t)n);
        close(fd);
    }
    errno = saved;
}

static int is_port(const char *path)
{
    const char *port = getenv("FAULT_PORT");
    return port != NULL && path != NULL && strcmp(path, port) == 0;
}

static int port_open(const char *path, int flags, mode_t mode)
{
    const char *busy = getenv("FAULT_BUSY");
    int result;
    if (busy != NULL && (atoi(busy) < 0 || busy_done < atoi(busy))) {
        busy_done++;
        errno = EBUSY;
        result = -1;
    } else {
        result = port_fd = real_open(path, flags, mode);
    }
    record("open 0x%x %d\n", (unsigned)flags, result >= 0 ? result : -errno);
    return result;
}

static int open_mode(int flags, va_list args)
{
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, int) : 0;
}

int open(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = (mode_t)open_mode(flags, args);
    va_end(args);
    return is_port(path) ? port_open(path, flags, mode) : real_open(path, flags, mode);
}

int open64(const char *path, int flags, ...) __attribute__((alias("open")));

/* The action of write number `count` (from 0) in the FAULT_WRITES list. */
static void write_action(int count, char *action, size_t size)
{
    const char *list = getenv("FAULT_WRITES");
    if (list == NULL)
        list = "ok";
    for (; count > 0 && strchr(list, ',') != NULL; count--)
        list = strchr(list, ',') + 1;
    size_t n = strcspn(list, ",");
    if (n >= size)
        n = size - 1;
    memcpy(action, list, n);
    action[n] = '\0';
}

static unsigned long next_random(void)
{
    static int seeded;
    if (!seeded && getenv("FAULT_SEED") != NULL)
        random_state = strtoul(getenv("FAULT_SEED"), NULL, 10);
    seeded = 1;
    random_state = random_state * 6364136223846793005UL + 1442695040888963407UL;
    return random_state >> 33;
}

/* Out of 100 writes: 70 whole, the rest partial or failing. */
static const char *mixed_action(void)
{
    static const struct {
        int weight;
        const char *action;
    } mix[] = {{70, "ok"},   {12, "rand"}, {4, "half"}, {6, "enotty"},
               {3, "eintr"}, {3, "eio"},   {2, "zero"}};
    int pick = (int)(next_random() % 100);
    for (size_t i = 0; i < sizeof(mix) / sizeof(mix[0]); i++) {
        if (pick < mix[i].weight)
            return mix[i].action;
        pick -= mix[i].weight;
    }
    return "ok";
}

static ssize_t port_write(int fd, const void *data, size_t size)
{
    char action[16];
    write_action(write_count++, action, sizeof(action));
    if (strcmp(action, "mix") == 0)
        strcpy(action, mixed_action());
    if (strcmp(action, "gone") == 0)
        unlink(getenv("FAULT_PORT"));
    ssize_t result;
    if (strcmp(action, "enotty") == 0 || strcmp(action, "eio") == 0 ||
        strcmp(action, "eintr") == 0) {
        errno = action[1] == 'n' ? ENOTTY : action[1] == 'i' ? EIO : EINTR;
        result = -1;
    } else if (strcmp(action, "zero") == 0) {
        result = 0;
    } else {
        size_t part = size;
        if (strcmp(action, "half") == 0 && size > 1)
            part = size / 2;
        if (strcmp(action, "rand") == 0 && size > 0)
            part = 1 + (size_t)next_random() % size;
        result = real_write(fd, data, part);
    }
    record("write %zu %zd\n", size, result >= 0 ? result : -errno);
    return result;
}

ssize_t write(int fd, const void *data, size_t size)
{
    if (fd >= 0 && fd == port_fd)
        return port_write(fd, data, size);
    return real_write(fd, data, size);
}

int close(int fd)
{
    static int (*next)(int);
    if (next == NULL)
        next = (int (*)(int))next_symbol("close");
    if (fd == port_fd)
        port_fd = -1;
    return next(fd);
}

unsigned int sleep(unsigned int seconds)
{
    record("sleep %u\n", seconds);
    const char *how = getenv("FAULT_SLEEP");
    if (how != NULL && strcmp(how, "real") == 0) {
        unsigned int (*next)(unsigned int) = (unsigned int (*)(unsigned int))next_symbol("sleep");
        return next(seconds);
    }
    return 0;
}

int setresuid(uid_t real, uid_t effective, uid_t saved)
{
    const char *how = getenv("FAULT_SETUID");
    if (how != NULL && strcmp(how, "eperm") == 0) {
        errno = EPERM;
        return -1;
    }
    int (*next)(uid_t, uid_t, uid_t) = (int (*)(uid_t, uid_t, uid_t))next_symbol("setresuid");
    return next(real, effective, saved);
}
