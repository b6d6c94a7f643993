// The control packet frame and the channel's operations, with the channel
// put on one end of a socketpair and the test playing the daemon on the other.
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "control_channel.h"

namespace
{

// A channel whose daemon end the test holds; both ends go with the scope.
struct paired_channel {
    int daemon = -1;
    paired_channel()
    {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        channel_fd = fds[0];
        daemon = fds[1];
    }
    ~paired_channel()
    {
        if (channel_fd >= 0)
            close(channel_fd);
        channel_fd = -1;
        close(daemon);
    }
    // What the channel has sent so far, without waiting.
    std::string sent() const
    {
        char buffer[2048];
        ssize_t n = recv(daemon, buffer, sizeof(buffer), MSG_DONTWAIT);
        return n > 0 ? std::string(buffer, n) : "";
    }
    void reply(const std::string &bytes) const
    {
        ASSERT_EQ(send(daemon, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    }
};

std::string header(int high, int low)
{
    return std::string("pcp") + static_cast<char>(high) + static_cast<char>(low);
}

TEST(ControlChannel, SendFramesThePayloadWithItsLengthInBase255)
{
    struct send_case {
        const char *name;
        int length;
        int result, length_after;
        std::string packet; // the exact bytes that must arrive
    };
    const std::string big(1024, 'b');
    const send_case cases[] = {
        {"cancel", 6, 0, 11, std::string("pcp\0\6cancel", 11)},
        {"one byte", 1, 0, 6, header(0, 1) + "b"},
        {"254 bytes", 254, 0, 259, header(0, 254) + big.substr(0, 254)},
        {"255 bytes carry into the high part", 255, 0, 260, header(1, 0) + big.substr(0, 255)},
        {"300 bytes", 300, 0, 305, header(1, 45) + big.substr(0, 300)},
        {"1024 bytes", 1024, 0, 1029, header(4, 4) + big},
        {"nothing to send", 0, 0, 0, ""},
        {"negative length", -3, 0, 0, ""},
        {"more than a packet holds", 1025, -1, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        paired_channel channel;
        const char *data = std::strcmp(c.name, "cancel") == 0 ? "cancel" : big.c_str();
        int length = c.length;
        EXPECT_EQ(channel_send(data, &length), c.result);
        EXPECT_EQ(length, c.length_after);
        EXPECT_EQ(channel.sent(), c.packet);
    }
}

TEST(ControlChannel, SendFailsOnAClosedOrBrokenChannel)
{
    int length = 6;
    EXPECT_EQ(channel_send("cancel", &length), -1);
    EXPECT_EQ(length, 0);

    // A daemon that has gone away fails the send instead of raising SIGPIPE,
    // whose default action would end the process here.
    paired_channel channel;
    close(channel.daemon);
    channel.daemon = socket(AF_UNIX, SOCK_STREAM, 0);
    length = 6;
    EXPECT_EQ(channel_send("cancel", &length), -1);
    EXPECT_EQ(length, 0);
}

TEST(ControlChannel, ReceiveFollowsTheReplyRules)
{
    struct receive_case {
        const char *name;
        std::string reply; // "" sends nothing and ends the daemon's side
        int capacity;
        int result, capacity_after;
        std::string payload; // what lands in the buffer
    };
    const std::string p200(200, 'q'), p256(256, 'r'), p128(128, 's');
    const receive_case cases[] = {
        {"payload", header(0, 2) + "ok", 128, 0, 2, "ok"},
        {"payload exactly the capacity", header(0, 5) + "12345", 10, 0, 5, "12345"},
        {"length read in base 256", header(0, 200) + p200, 1029, 0, 200, p200},
        {"high part counts 256", header(1, 0) + p256, 1029, 0, 256, p256},
        {"status 1", header(0, 0) + "\1", 128, 1, 0, ""},
        {"status 0", header(0, 0) + std::string(1, '\0'), 128, 0, 0, ""},
        {"status 0xFF reads as -1", header(0, 0) + "\377", 128, -1, 0, ""},
        {"status is signed", header(0, 0) + "\200", 128, -128, 0, ""},
        {"length 0 without its status byte", header(0, 0), 128, 0, 0, ""},
        {"not pcp", "xyz" + std::string("\0\2ok", 4), 128, 0, 0, ""},
        {"four bytes", "pcp" + std::string(1, '\0'), 128, 0, 0, ""},
        {"length over the capacity", header(1, 0) + "abc", 128, 0, 0, ""},
        {"length one over the capacity", header(0, 129) + p128, 128, 0, 0, ""},
        {"capacity 0 reads nothing", header(0, 2) + "ok", 0, 0, 0, ""},
        {"daemon closed without a reply", "", 128, 0, 0, ""},
        // One receive of at most 128 bytes holds 123 of them: only those count.
        {"reply cut by the capacity", header(0, 128) + p128, 128, 0, 123, p128.substr(0, 123)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        paired_channel channel;
        if (c.reply.empty())
            shutdown(channel.daemon, SHUT_WR);
        else
            channel.reply(c.reply);
        char buffer[1100];
        std::memset(buffer, '#', sizeof(buffer));
        int capacity = c.capacity;
        EXPECT_EQ(channel_receive(buffer, &capacity), c.result);
        EXPECT_EQ(capacity, c.capacity_after);
        EXPECT_EQ(std::string(buffer, c.payload.size()), c.payload);
        EXPECT_EQ(buffer[c.payload.size()], '#') << "copied past the payload";
    }
    char buffer[8];
    int capacity = 8;
    EXPECT_EQ(channel_receive(buffer, &capacity), -1) << "closed channel";
    EXPECT_EQ(capacity, 0);
}

TEST(ControlChannel, ExchangeSendsOnceAndReadsOneReply)
{
    paired_channel channel;
    channel.reply(header(0, 2) + "ok");
    int length = 6;
    EXPECT_EQ(channel_exchange("cancel", &length), 0);
    EXPECT_EQ(length, 11);
    EXPECT_EQ(channel.sent(), std::string("pcp\0\6cancel", 11));
    char rest[16];
    EXPECT_EQ(recv(channel_fd, rest, sizeof(rest), MSG_DONTWAIT), -1) << "the reply was read";
}

TEST(ControlChannel, DisconnectShutsDownBothWaysAndMarksClosed)
{
    paired_channel channel;
    int open_fd = channel_fd;
    EXPECT_EQ(channel_connect(), 0);
    EXPECT_EQ(channel_fd, open_fd) << "an open channel stays as it is";
    EXPECT_EQ(channel_disconnect(), 0);
    EXPECT_EQ(channel_fd, -1);
    char byte;
    EXPECT_EQ(recv(channel.daemon, &byte, 1, 0), 0) << "the daemon sees the end";
    EXPECT_EQ(channel_disconnect(), 0) << "a closed channel stays closed";
    EXPECT_EQ(channel_fd, -1);
}

} // namespace
