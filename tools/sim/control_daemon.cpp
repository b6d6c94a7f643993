// Simulator of the maker's control daemon, for tests; never installed. Run
// inside tools/sandbox, it listens on the daemon's TCP port 35587 and serves
// one connection after another until it is killed:
//   velokit-daemon-sim DIR REPLY
// It reads one request packet, answers with the REPLY variant, then reads
// until the peer shuts the connection down. Under DIR it records:
//   ready        once it listens
//   connections  the number of connections accepted
//   received     every byte received, all connections in order
//   shutdown     the number of connections the peer ended in order
// REPLY is one of:
//   payload    a valid packet with a 2-byte payload
//   status     length 0 with status 1
//   status-ff  length 0 with status 0xFF
//   not-pcp    a packet that does not start with "pcp"
//   short      4 bytes only
//   long       a length field above 128 (a non-zero byte at offset 3)
//   silent     no reply at all
#include <cstdio>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

constexpr int daemon_port = 35587;
// Longer than the filter's own wait for a reply, so the filter always ends first.
constexpr int idle_limit_ms = 15000;

static std::string dir;

// Whole files appear at once, so a reader never sees half a record.
static void record(const std::string &name, const std::string &text)
{
    std::string path = dir + "/" + name, temporary = path + ".new";
    std::ofstream(temporary, std::ios::binary | std::ios::trunc) << text;
    std::rename(temporary.c_str(), path.c_str());
}

static bool reply_for(const std::string &variant, std::string *reply)
{
    static const struct {
        const char *name;
        const char *bytes;
        std::size_t size;
    } replies[] = {
        {"payload", "pcp\0\2ok", 7}, {"status", "pcp\0\0\1", 6}, {"status-ff", "pcp\0\0\377", 6},
        {"not-pcp", "xyz\0\2ok", 7}, {"short", "pcp\0", 4},      {"long", "pcp\1\0abcdefghij", 15},
        {"silent", "", 0},
    };
    for (const auto &r : replies)
        if (variant == r.name) {
            reply->assign(r.bytes, r.size);
            return true;
        }
    return false;
}

// Reads what arrives within the idle limit; false once the peer has ended
// the connection or gone quiet.
static bool read_some(int fd, std::string *received, bool *ended)
{
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, idle_limit_ms) != 1)
        return false;
    char buffer[4096];
    ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) {
        *ended = n == 0;
        return false;
    }
    received->append(buffer, static_cast<std::size_t>(n));
    return true;
}

// The request's length is read the way the filter writes it, in base 255.
static bool request_complete(const std::string &r)
{
    if (r.size() < 5)
        return false;
    std::size_t length = static_cast<unsigned char>(r[3]) * 255 + static_cast<unsigned char>(r[4]);
    return r.size() >= 5 + length;
}

static void serve(int fd, const std::string &reply, std::string *received, int *shutdowns)
{
    bool ended = false;
    while (!request_complete(*received) && read_some(fd, received, &ended)) {
    }
    if (!ended && !reply.empty())
        send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
    while (!ended && read_some(fd, received, &ended)) {
    }
    record("received", *received);
    if (ended)
        record("shutdown", std::to_string(++*shutdowns));
}

int main(int argc, char *argv[])
{
    std::string reply;
    if (argc != 3 || !reply_for(argv[2], &reply)) {
        std::fprintf(stderr, "usage: velokit-daemon-sim DIR "
                             "payload|status|status-ff|not-pcp|short|long|silent\n");
        return 2;
    }
    dir = argv[1];
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(daemon_port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
        listen(listener, 16) != 0) {
        std::perror("velokit-daemon-sim");
        return 1;
    }
    record("ready", "");

    std::string received;
    int connections = 0, shutdowns = 0;
    for (;;) {
        int fd = accept(listener, nullptr, nullptr);
        if (fd < 0)
            continue;
        record("connections", std::to_string(++connections));
        serve(fd, reply, &received, &shutdowns);
        close(fd);
    }
}
