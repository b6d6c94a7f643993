// The backend's message layout, each message leaving in a single write.
#include <cerrno>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "diagnostics.h"

namespace
{

// Standard error is a packet socket while `emit` runs: every write arrives
// as a packet of its own.
std::vector<std::string> writes_of(const std::function<void()> &emit)
{
    int pair[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
    int saved = dup(STDERR_FILENO);
    dup2(pair[0], STDERR_FILENO);
    close(pair[0]);
    emit();
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::vector<std::string> writes;
    char packet[65536];
    for (ssize_t n; (n = recv(pair[1], packet, sizeof(packet), MSG_DONTWAIT)) > 0;)
        writes.emplace_back(packet, n);
    close(pair[1]);
    return writes;
}

TEST(Diagnostics, LevelsPrefixesAndLineEnds)
{
    struct level_case {
        int level;
        const char *text;
        std::string out;
    };
    const level_case cases[] = {
        {MSG_ERROR, "failed", "**** ERROR **** : failed\n"},
        {MSG_WARNING, "careful", "**** WARNING **** : careful\n"},
        {MSG_INFO, "INFO: Sending print file, 8192 bytes...\n",
         "**** INFO **** : INFO: Sending print file, 8192 bytes...\n\n"},
        {MSG_PLAIN, "PAGE: 1 1\n", "PAGE: 1 1\n\n"},
        {7, "seven", "seven\n"},
        {-1, "minus one", "minus one\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.out);
        EXPECT_EQ(writes_of([&] { msg_report(c.level, "%s", c.text); }),
                  std::vector<std::string>{c.out});
    }
}

// The fatal forms' texts and status show in the backend's own runs; only an
// errno of 0 cannot be brought about there.
TEST(Diagnostics, FatalWithoutSystemErrorAddsNoErrorText)
{
    EXPECT_EXIT(
        {
            errno = 0;
            msg_fatal_errno("plain %d", 1);
        },
        testing::ExitedWithCode(1), "^\\*\\*\\*\\* ERROR \\*\\*\\*\\* : plain 1\n$");
}

TEST(Diagnostics, ProgramNameOfAtMost255Characters)
{
    struct name_case {
        const char *set; // nullptr: no name given
        std::string prefix;
    };
    const std::string longest(255, 'n'), too_long(256, 'x');
    const name_case cases[] = {
        {"velokitlp", "velokitlp : "},
        {too_long.c_str(), "velokitlp : "},
        {nullptr, "velokitlp : "},
        {longest.c_str(), longest + " : "},
        {"", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.prefix);
        msg_set_name(c.set);
        EXPECT_EQ(writes_of([] { msg_report(MSG_WARNING, "w"); }),
                  std::vector<std::string>{c.prefix + "**** WARNING **** : w\n"});
    }
}

} // namespace
