// The steps of the port backend, one file each; the port code itself is the
// velokit_port library (velokit_port.h), shared with the printer application.
#pragma once

// Discovery: one line on standard output per writable port, from port 0 up to
// the first one missing or not writable.
void list_ports();

// Copies a job to the port its device URI names; returns the exit status.
int print_run(int argc, char *argv[]);
