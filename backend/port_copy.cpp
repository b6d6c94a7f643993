#include <cerrno>
#include <unistd.h>

#include "diagnostics.h"
#include "velokitlp.h"

static char chunk[CHUNK_SIZE];

// Writes one chunk whole, going on after partial writes. A write failing with
// ENOTTY is repeated once at once; any other failure, a repeated failure or a
// write that takes nothing drops the rest of the chunk.
static bool write_chunk(int device, size_t size)
{
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(device, chunk + done, size - done);
        if (n < 0 && errno == ENOTTY)
            n = write(device, chunk + done, size - done);
        if (n <= 0) {
            msg_report(MSG_ERROR, "Unable to send print file to printer.");
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool port_copy(FILE *input, int device, bool reporting)
{
    bool written = true;
    unsigned long bytes = 0;
    for (;;) {
        // fread fills the whole chunk from a pipe too, however the data
        // trickles in: only the last chunk of a pass is short.
        size_t size = fread(chunk, 1, sizeof(chunk), input);
        if (size == 0)
            break;
        bytes += size;
        if (!write_chunk(device, size))
            written = false;
        if (reporting)
            msg_report(MSG_INFO, "INFO: Sending print file, %lu bytes...\n", bytes);
        // Short: the end of the input, or a read error, which ends the pass
        // the same way.
        if (size < sizeof(chunk))
            break;
    }
    return written;
}
