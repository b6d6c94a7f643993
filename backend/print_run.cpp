#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "diagnostics.h"
#include "velokit_port.h"
#include "velokitlp.h"

// The input's area: one run, one job, so a fixed area serves it. One read
// fills it and serves sixteen chunks, where a chunk-sized area costs a read
// per chunk.
static char input_area[16 * PORT_CHUNK_SIZE];

// The device file path of the device URI, or the end of the run.
static void device_path(const char *uri, char path[PORT_PATH_MAX + 1])
{
    http_uri_status_t status = HTTP_URI_STATUS_OK;
    size_t length = port_uri_path(uri, path, &status);
    if (status < HTTP_URI_STATUS_OK)
        msg_fatal("Bad device URI \"%s\": %s", uri, httpURIStatusString(status));
    if (length > PORT_PATH_MAX)
        msg_fatal("VELO port device file name is too long (%zu characters, at most %d).", length,
                  PORT_PATH_MAX);
}

// Opens the port, waiting for as long as it is busy.
static int device_open(const char *path)
{
    for (;;) {
        int fd = port_open(path);
        if (fd >= 0)
            return fd;
        if (fd != -EBUSY)
            msg_fatal("Unable to open VELO port device file \"%s\": %s\n", path, strerror(-fd));
        msg_report(MSG_INFO, "VELO port busy; will retry in 30 seconds...\n");
        sleep(30);
    }
}

// One pass over the input; returns false when a chunk could not be written
// whole. Each chunk's report follows it at once. A port removed while it is
// written ends the run: the data went nowhere.
static bool send_pass(int input, int device, const char *path, bool reporting)
{
    bool written = true;
    port_copy copy;
    port_copy_start(&copy, input, device, input_area, sizeof(input_area));
    for (;;) {
        port_copy_result result = port_copy_chunk(&copy);
        if (result == PORT_CHUNK_DROPPED) {
            msg_report(MSG_ERROR, "Unable to send print file to printer.");
            written = false;
        } else if (result == PORT_PASS_REMOVED) {
            msg_fatal("VELO port device file \"%s\" was removed while printing.", path);
        } else if (result != PORT_CHUNK_WRITTEN) {
            // A read error ends the pass silently, like the end of the input.
            return written;
        }
        if (reporting)
            msg_report(MSG_INFO, "INFO: Sending print file, %lu bytes...\n", copy.bytes);
    }
}

// The job's data goes to the device once per copy. A write that failed fails
// the job: the data did not reach the printer whole.
int print_run(int argc, char *argv[])
{
    bool from_file = argc == 7;
    int input = STDIN_FILENO;
    long copies = 1;
    if (from_file) {
        input = open(argv[6], O_RDONLY | O_CLOEXEC);
        if (input < 0)
            msg_fatal_errno("%s", argv[6]);
        copies = strtol(argv[4], nullptr, 10);
    }

    char path[PORT_PATH_MAX + 1];
    device_path(argv[0], path);
    limit_rights(path);
    int device = device_open(path);

    // A cancelled job still sends everything that reaches it on standard
    // input, so the printer never gets a cut-off job.
    if (!from_file)
        signal(SIGTERM, SIG_IGN);

    bool written = true;
    for (; copies > 0; copies--) {
        if (from_file) {
            msg_report(MSG_PLAIN, "PAGE: 1 1\n");
            lseek(input, 0, SEEK_SET);
        }
        if (!send_pass(input, device, path, from_file))
            written = false;
    }

    close(device);
    if (from_file)
        close(input);
    return written ? 0 : 1;
}
