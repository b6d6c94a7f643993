// Packets go out with their length in base 255 and come back with it in base
// 256; the two agree below 255 bytes, which covers everything the filter
// sends, and the daemon relies on the frame as it stands.
#include "control_channel.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

int channel_fd = -1;

// The frame's first bytes, without a terminator.
static constexpr unsigned char channel_magic[3] = {'p', 'c', 'p'};

int channel_connect()
{
    if (channel_fd >= 0)
        return 0;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // A blocking connect honours the send timeout, so a daemon whose backlog
    // is full cannot hold the cancel either. A refused connect fails at once.
    timeval limit{channel_timeout_ms / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(channel_port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    channel_fd = fd;
    return 0;
}

int channel_disconnect()
{
    if (channel_fd >= 0) {
        shutdown(channel_fd, SHUT_RDWR);
        close(channel_fd);
        channel_fd = -1;
    }
    return 0;
}

int channel_reconnect()
{
    channel_disconnect();
    return channel_connect();
}

int channel_send(const char *data, int *length)
{
    int n = *length;
    *length = 0;
    if (channel_fd < 0)
        return -1;
    if (n <= 0)
        return 0;
    if (n > channel_max_payload)
        return -1;
    unsigned char packet[channel_packet_size];
    std::memcpy(packet, channel_magic, sizeof(channel_magic));
    packet[3] = static_cast<unsigned char>(n / 255);
    packet[4] = static_cast<unsigned char>(n % 255);
    std::memcpy(packet + channel_header_size, data, n);
    ssize_t sent = send(channel_fd, packet, channel_header_size + n, MSG_NOSIGNAL);
    if (sent < 0)
        return -1;
    *length = static_cast<int>(sent);
    return 0;
}

// Only what one receive call delivers counts: a reply shorter than its length
// field says keeps the payload bytes that arrived, and a length-0 reply
// without its status byte reads as status 0.
int channel_receive(char *buffer, int *capacity)
{
    int c = *capacity;
    *capacity = 0;
    if (channel_fd < 0)
        return -1;
    if (c <= 0)
        return 0;
    if (c > channel_packet_size)
        c = channel_packet_size;
    pollfd ready{channel_fd, POLLIN, 0};
    if (poll(&ready, 1, channel_timeout_ms) != 1)
        return -1;
    unsigned char packet[channel_packet_size];
    ssize_t got = recv(channel_fd, packet, c, MSG_NOSIGNAL);
    if (got < 0)
        return -1;
    if (got <= 4 || std::memcmp(packet, channel_magic, sizeof(channel_magic)) != 0)
        return 0;
    int length = packet[3] * 256 + packet[4];
    if (length == 0)
        return got > channel_header_size ? static_cast<signed char>(packet[5]) : 0;
    if (length > c)
        return 0;
    int arrived = static_cast<int>(got) - channel_header_size;
    if (arrived > length)
        arrived = length;
    std::memcpy(buffer, packet + channel_header_size, arrived);
    *capacity = arrived;
    return 0;
}

int channel_exchange(const char *command, int *length)
{
    int n = *length;
    if (channel_send(command, length) == -1) {
        channel_reconnect();
        *length = n;
        channel_send(command, length);
    }
    if (*length <= 0)
        return 1;
    char reply[channel_reply_capacity];
    int capacity = channel_reply_capacity;
    channel_receive(reply, &capacity);
    return 0;
}
