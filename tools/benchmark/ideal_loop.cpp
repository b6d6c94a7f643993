// The baselines the benchmark holds the filter against, each the least work
// that its figure cannot avoid. Like the filter, each starts the converter
// itself and feeds it through a pipe of the same size:
//   ideal-loop rows FILE     read the raster with libcups into one buffer and
//                            write every padded row from it in large writes;
//                            the converter starts at the first page header,
//                            as the filter's does
//   ideal-loop pipe BYTES    write BYTES zero bytes in large writes: what the
//                            pipe itself allows
//   ideal-loop start QUEUE   fetch the queue's PPD, then start the converter
//                            on an empty input
// and a data source for the backend:
//   ideal-loop write BYTES   write BYTES zero bytes to standard output in
//                            large writes
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cups/cups.h>
#include <cups/ppd.h>
#include <cups/raster.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "converter.h"
#include "raster_stream.h"

extern char **environ;

static pid_t converter = 0;

// Returns the write end of the converter's input.
static int start_converter()
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        std::exit(1);
    fcntl(fds[1], F_SETPIPE_SZ, converter_pipe_size);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    char path[] = "/usr/lib/cups/filter/velokit-filter";
    char *argv[] = {path, nullptr};
    if (posix_spawn(&converter, path, &actions, nullptr, argv, environ) != 0)
        std::exit(1);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[0]);
    return fds[1];
}

static int finish_converter(int fd)
{
    close(fd);
    int status = 0;
    while (waitpid(converter, &status, 0) < 0 && errno == EINTR) {
    }
    return 0;
}

static bool write_all(int fd, const unsigned char *data, std::size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

// Rows are read straight into their places in one buffer, which leaves in
// one write when the next row would not fit: no copy and no write per row.
static int ideal_rows(const char *path)
{
    constexpr std::size_t buffer_size = converter_buffer_size;
    int in = open(path, O_RDONLY);
    cups_raster_t *raster = in >= 0 ? cupsRasterOpen(in, CUPS_RASTER_READ) : nullptr;
    if (raster == nullptr)
        return 1;
    int out = -1;
    unsigned char *buffer = nullptr;
    std::size_t size = 0, used = 0;
    std::uint32_t last_bytes = 0;
    cups_page_header2_t header;
    while (cupsRasterReadHeader2(raster, &header) != 0) {
        if (out < 0)
            out = start_converter();
        std::size_t stride = row_stride(header.cupsBytesPerLine);
        // Pad bytes are never read into, so they stay zero while the rows
        // keep their size; a new size moves them, and starts afresh.
        if (header.cupsBytesPerLine != last_bytes) {
            if (!write_all(out, buffer, used))
                return 1;
            used = 0;
            last_bytes = header.cupsBytesPerLine;
            if (std::max(stride, buffer_size) > size) {
                std::free(buffer);
                size = std::max(stride, buffer_size);
                buffer = static_cast<unsigned char *>(std::malloc(size));
                if (buffer == nullptr)
                    return 1;
            }
            std::memset(buffer, 0, size);
        }
        for (unsigned y = 0; y < header.cupsHeight; y++) {
            if (used + stride > size) {
                if (!write_all(out, buffer, used))
                    return 1;
                used = 0;
            }
            if (cupsRasterReadPixels(raster, buffer + used, header.cupsBytesPerLine) == 0)
                return 1;
            used += stride;
        }
    }
    cupsRasterClose(raster);
    bool sent = out < 0 || write_all(out, buffer, used);
    std::free(buffer);
    if (out < 0)
        return 0;
    return sent ? finish_converter(out) : 1;
}

static bool write_zeros(int fd, const char *bytes_text)
{
    constexpr std::size_t block = 1 << 20;
    static unsigned char zeros[block];
    unsigned long long left = std::strtoull(bytes_text, nullptr, 10);
    while (left > 0) {
        std::size_t n = left < block ? static_cast<std::size_t>(left) : block;
        if (!write_all(fd, zeros, n))
            return false;
        left -= n;
    }
    return true;
}

static int pipe_limit(const char *bytes_text)
{
    int out = start_converter();
    return write_zeros(out, bytes_text) ? finish_converter(out) : 1;
}

static int fetch_and_start(const char *queue)
{
    const char *ppd = cupsGetPPD(queue);
    if (ppd == nullptr)
        return 1;
    unlink(ppd);
    return finish_converter(start_converter());
}

int main(int argc, char *argv[])
{
    if (argc == 3 && std::strcmp(argv[1], "rows") == 0)
        return ideal_rows(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "pipe") == 0)
        return pipe_limit(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "start") == 0)
        return fetch_and_start(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "write") == 0)
        return write_zeros(1, argv[2]) ? 0 : 1;
    std::fputs("usage: ideal-loop rows FILE | pipe BYTES | start QUEUE | write BYTES\n", stderr);
    return 2;
}
