#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "velokit_port.h"

void port_copy_start(port_copy *copy, int input, int device, char *area, std::size_t size)
{
    *copy = port_copy{};
    copy->input = input;
    copy->device = device;
    copy->area = area;
    copy->size = size;
}

// Reads until a whole chunk waits in the area or the input ends: however the
// data trickles in from a pipe, only the last chunk of a pass is short. What
// is left of the last read moves to the front, so each read may fill the rest
// of the area.
static void fill(port_copy *copy)
{
    std::size_t waiting = copy->end - copy->start;
    if (copy->start > 0) {
        memmove(copy->area, copy->area + copy->start, waiting);
        copy->start = 0;
        copy->end = waiting;
    }
    // An area smaller than a chunk makes smaller chunks, never lost data.
    while (!copy->ended && copy->end < PORT_CHUNK_SIZE && copy->end < copy->size) {
        ssize_t n = read(copy->input, copy->area + copy->end, copy->size - copy->end);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // A read error ends the pass as the end of the input does.
            copy->read_error = n < 0 ? errno : 0;
            copy->ended = true;
        } else {
            copy->end += static_cast<std::size_t>(n);
        }
    }
}

// Writes one chunk whole, going on after partial writes. A write failing with
// ENOTTY is repeated once at once; any other failure, a repeated failure or a
// write that takes nothing drops the rest of the chunk.
static bool write_chunk(port_copy *copy, const char *data, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = write(copy->device, data + done, size - done);
        if (n < 0 && errno == ENOTTY)
            n = write(copy->device, data + done, size - done);
        if (n <= 0) {
            copy->write_error = n < 0 ? errno : 0;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Long passes look at the port this often: one fstat per 4 MiB costs nothing
// next to the writes, and a port removed mid-job stops the copy within it.
constexpr unsigned long check_interval = 4UL << 20;

// A port whose file was unlinked while open takes every write and passes
// nothing on. FIFOs and devices have links too, so only an unlinked one counts.
static bool port_removed(int device)
{
    struct stat status = {};
    return fstat(device, &status) == 0 && status.st_nlink == 0;
}

port_copy_result port_copy_chunk(port_copy *copy)
{
    if (copy->unchecked >= check_interval) {
        copy->unchecked = 0;
        if (port_removed(copy->device))
            return PORT_PASS_REMOVED;
    }
    if (copy->end - copy->start < PORT_CHUNK_SIZE)
        fill(copy);
    std::size_t size = copy->end - copy->start;
    if (size > PORT_CHUNK_SIZE)
        size = PORT_CHUNK_SIZE;
    if (size == 0 && port_removed(copy->device))
        return PORT_PASS_REMOVED;
    if (size == 0)
        return copy->read_error != 0 ? PORT_PASS_READ_FAILED : PORT_PASS_ENDED;

    const char *chunk = copy->area + copy->start;
    copy->start += size;
    copy->bytes += size;
    copy->unchecked += size;
    return write_chunk(copy, chunk, size) ? PORT_CHUNK_WRITTEN : PORT_CHUNK_DROPPED;
}
