// The steps of the port backend, one file each.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cups/http.h>

// The port device file pattern offered by discovery.
constexpr const char *PORT_PATTERN = "/var/run/velokitlp%d";
// The longest device file path a device URI may name.
constexpr int PORT_PATH_MAX = 1023;
constexpr std::size_t CHUNK_SIZE = 8192;

// Discovery: one line on standard output per writable port, from port 0 up to
// the first one missing or not writable.
void list_ports();

// Copies a job to the port its device URI names; returns the exit status.
int print_run(int argc, char *argv[]);

// The device file path of a device URI: its resource without a query. Ends
// the process when the URI cannot be split or the path is too long.
void port_path(const char *uri, char path[PORT_PATH_MAX + 1]);
// The same without ending the process: returns the path's length, and fills
// path only when that is at most PORT_PATH_MAX; *status tells whether the
// URI could be split at all (below HTTP_URI_STATUS_OK: not, and 0 is returned).
std::size_t uri_port_path(const char *uri, char path[PORT_PATH_MAX + 1], http_uri_status_t *status);

// Opens the port for writing, exclusively, waiting while it is busy. Ends the
// process on any other failure.
int port_open(const char *path);

// One pass over the input; progress is reported when reporting is set.
// Returns false when a chunk could not be written whole.
bool port_copy(FILE *input, int device, bool reporting);
