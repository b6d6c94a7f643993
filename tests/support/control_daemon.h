// The control daemon simulator (velokit-daemon-sim), run by a test inside
// its sandbox on the daemon's port.
#pragma once

#include <string>

#include "process.h"

struct control_daemon {
    running_process process;
    std::string dir;
};

// The one packet a cancel sends.
extern const std::string cancel_packet;

// Starts the simulator with the given reply variant and waits until it listens.
control_daemon daemon_start(const std::string &reply);
void daemon_stop(control_daemon &daemon);
// What it recorded: every byte received, and the counts of connections
// accepted and shut down by the peer.
std::string daemon_received(const control_daemon &daemon);
int daemon_connections(const control_daemon &daemon);
int daemon_shutdowns(const control_daemon &daemon);
