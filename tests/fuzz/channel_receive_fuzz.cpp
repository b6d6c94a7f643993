// The control channel's receive rules on whatever the daemon's side sends:
// the reply bytes arrive on a socket pair standing in for the connection.
//
// Input: 2 bytes, the capacity the caller passes (signed), then the reply.
// The outcome is checked against the frame's rules, and the caller's area
// is exactly the capacity it named, so any copy past it is caught.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "control_channel.h"

namespace
{

void check(bool condition)
{
    if (!condition)
        std::abort();
}

struct expected_reply {
    int result;
    int capacity;
};

// One receive call takes min(capacity, reply size) bytes of the reply.
expected_reply expected(const std::uint8_t *reply, std::size_t size, int capacity)
{
    if (capacity <= 0)
        return {0, 0};
    std::size_t got = size < static_cast<std::size_t>(capacity) ? size : capacity;
    if (got <= 4 || std::memcmp(reply, "pcp", 3) != 0)
        return {0, 0};
    int length = reply[3] * 256 + reply[4];
    if (length == 0)
        return {got > 5 ? static_cast<signed char>(reply[5]) : 0, 0};
    if (length > capacity)
        return {0, 0};
    int arrived = static_cast<int>(got) - channel_header_size;
    return {0, arrived < length ? arrived : length};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2 || size - 2 > 65536)
        return 0;
    std::int16_t asked = 0;
    std::memcpy(&asked, data, sizeof(asked));
    // The caller keeps the capacity within one packet.
    int capacity = asked % (channel_packet_size + 1);
    const std::uint8_t *reply = data + 2;
    std::size_t reply_size = size - 2;

    int ends[2];
    check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0);
    if (reply_size > 0)
        check(write(ends[1], reply, reply_size) == static_cast<ssize_t>(reply_size));
    // The daemon's side is done: an empty reply reads as the end, not a wait.
    shutdown(ends[1], SHUT_WR);

    channel_fd = ends[0];
    std::vector<char> area(capacity > 0 ? capacity : 0);
    int got_capacity = capacity;
    int result = channel_receive(area.data(), &got_capacity);
    channel_disconnect();
    close(ends[1]);

    expected_reply want = expected(reply, reply_size, capacity);
    check(channel_fd == -1);
    check(result == want.result && got_capacity == want.capacity);
    check(got_capacity == 0 ||
          std::memcmp(area.data(), reply + channel_header_size, got_capacity) == 0);
    return 0;
}
