// The control channel to the maker's control daemon on the local machine.
// Every operation here is async-signal-safe: the cancel handler is its only
// user.
#pragma once

constexpr int channel_port = 35587;
// The packet header: "pcp", then the payload length in two bytes.
constexpr int channel_header_size = 5;
constexpr int channel_max_payload = 1024;
// One packet, either way: header and the largest payload.
constexpr int channel_packet_size = channel_header_size + channel_max_payload;
// The reply that channel_exchange reads and ignores.
constexpr int channel_reply_capacity = 128;
// A daemon that accepts but never answers must not keep a cancelled job alive.
constexpr int channel_timeout_ms = 5000;

// The channel's socket, -1 while closed.
extern int channel_fd;

// Opens the channel; 0 when it is open, -1 when the daemon cannot be reached.
int channel_connect();
// Shuts the channel down both ways and marks it closed.
int channel_disconnect();
int channel_reconnect();
// Sends *length payload bytes as one packet. *length becomes the number of
// bytes that went out, header included, or 0 when nothing did.
int channel_send(const char *data, int *length);
// Reads one reply of at most *capacity bytes and copies its payload into
// buffer. *capacity becomes the payload length, or 0 when nothing was copied.
// A reply of length 0 returns its signed status byte instead of 0.
int channel_receive(char *buffer, int *capacity);
// Sends a command and reads one reply, reconnecting once if the send fails.
// Returns 1 when nothing went out.
int channel_exchange(const char *command, int *length);
