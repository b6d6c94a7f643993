// The maker's port device files, for every program that writes to them: the
// velokitlp backend and the printer application.
//
// Nothing here ends the process, prints a message or keeps state of its own:
// failures come back as errno values and distinct results, and every area is
// the caller's. Jobs of several printers may therefore be copied at once, one
// thread each, as long as each has its own port_copy and input area.
//
// A port that is a FIFO without a reader raises SIGPIPE on a write, as any
// pipe does; a program that must outlive that ignores SIGPIPE itself.
#pragma once

#include <cstddef>
#include <cups/http.h>

// The port device files offered by discovery, numbered from 0.
constexpr const char *PORT_PATTERN = "/var/run/velokitlp%d";
// Holds the path of any port number.
constexpr std::size_t PORT_NAME_SIZE = 32;
// The longest device file path a device URI may name.
constexpr int PORT_PATH_MAX = 1023;
// Data reaches a port in chunks of this size; only the last of a pass is shorter.
constexpr std::size_t PORT_CHUNK_SIZE = 8192;

// The device file path of a device URI: its resource without a query, with
// percent escapes decoded. Returns the path's length and fills path only when
// that is at most PORT_PATH_MAX (a longer path must be refused, never cut);
// *status below HTTP_URI_STATUS_OK means the URI could not be split, and 0 is
// returned.
std::size_t port_uri_path(const char *uri, char path[PORT_PATH_MAX + 1], http_uri_status_t *status);

// True when path is exactly one of the maker's port files, "/var/run/velokitlpN"
// or "/run/velokitlpN" with N decimal digits and nothing else: files only root
// and the maker's software can create. Any other path is not a port.
bool port_is_maker_path(const char *path);

// Discovery of port n: forms its path (PORT_PATTERN) in path and returns
// whether it exists and this process may write it. Discovery lists ports from
// 0 up to the first for which this is false.
bool port_discover(int n, char path[PORT_NAME_SIZE]);

// One attempt to open a port: write-only, exclusive, close-on-exec, never
// creating it. Returns the descriptor, or minus the errno value: -EBUSY means
// the port is busy and may be tried again later (the backend waits 30 s);
// any other value is a failure to report. A FIFO blocks until it has a reader.
int port_open(const char *path);

// One pass of a job's data from a blocking input descriptor (a file, a pipe)
// to an open port; a read that would block ends the pass as a failed read.
// The caller owns the port_copy and the input area, keeps both for the whole
// pass, and calls port_copy_chunk until it returns something other than
// PORT_CHUNK_WRITTEN or PORT_CHUNK_DROPPED. For another pass over a file, seek
// the input back and start again.
struct port_copy {
    int input = -1;
    int device = -1;
    char *area = nullptr;  // the input area, at least PORT_CHUNK_SIZE bytes
    std::size_t size = 0;  // its size
    std::size_t start = 0; // area[start, end): read, not yet sent
    std::size_t end = 0;
    bool ended = false;          // the input has ended or failed
    unsigned long bytes = 0;     // bytes of the pass so far, written or dropped
    unsigned long unchecked = 0; // bytes since the port's file was last checked
    int write_error = 0;         // PORT_CHUNK_DROPPED: the write's errno, 0 if it took nothing
    int read_error = 0;          // PORT_PASS_READ_FAILED: the read's errno
};

enum port_copy_result {
    PORT_CHUNK_WRITTEN,    // one chunk went to the port whole; bytes counts it
    PORT_CHUNK_DROPPED,    // a write failed: the rest of the chunk was dropped (still
                           // counted in bytes); the job has failed, but the copy may go on
    PORT_PASS_ENDED,       // the input ended; nothing was sent by this call
    PORT_PASS_READ_FAILED, // reading the input failed; the pass is over as if it had ended
    PORT_PASS_REMOVED,     // the port's file was removed while printing (link count 0):
                           // the job has failed, write no more
};

// Starts a pass; area is the caller's input area of size bytes (at least
// PORT_CHUNK_SIZE; larger areas let one read serve many chunks).
void port_copy_start(port_copy *copy, int input, int device, char *area, std::size_t size);
// Sends the next chunk: reads until a whole chunk is in the area or the input
// ends, then writes it, resuming partial writes and repeating a write that
// failed with ENOTTY once. A write that fails otherwise, fails again or takes
// nothing drops the rest of the chunk. Interrupted writes count as failed;
// interrupted reads are repeated. The port's file is checked for removal at
// the end of the pass and every few megabytes.
port_copy_result port_copy_chunk(port_copy *copy);
