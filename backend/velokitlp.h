// The steps of the port backend, one file each; the port code itself is the
// velokit_port library (velokit_port.h), shared with the printer application.
#pragma once

// Discovery: one line on standard output per writable port, from port 0 up to
// the first one missing or not writable.
void list_ports();

// Copies a job to the port its device URI names; returns the exit status.
int print_run(int argc, char *argv[]);

// Keeps root's rights only for the maker's own port files: for any other
// path a backend run by root becomes user lp for the rest of the run, or ends
// the run. A backend started by another user is left as it is.
void limit_rights(const char *path);
