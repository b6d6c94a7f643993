// The stream to the converter: rows leave it in large writes through a
// large pipe, whatever the C library would choose for a pipe by itself.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

#include "converter.h"
#include "filter_settings.h"
#include "sandbox.h"

namespace
{

// Bytes waiting in the pipe: the converter reads none of them.
int bytes_in_pipe(FILE *stream)
{
    int n = -1;
    ioctl(fileno(stream), FIONREAD, &n);
    return n;
}

std::string fd_target(pid_t pid, int fd)
{
    char target[64] = "";
    std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "";
}

TEST(ConverterStream, RowsLeaveInWritesOfTheWholeArea)
{
    require_sandbox();
    setenv("VELOKIT_SIM_DIR", make_test_dir("sim").c_str(), 1);
    setenv("VELOKIT_SIM_MODE", "stall", 1);
    setenv("VELOKIT_SIM_STALL_BYTES", "0", 1);
    filter_settings settings;
    settings_clear(&settings);
    setting_store(settings.model, "M", 1);
    setting_store(settings.ink, "MONO", 4);
    setting_store(settings.media, "A4", 2);
    setting_store(settings.quality, "NORMAL", 6);

    static char area[converter_buffer_size];
    FILE *stream = nullptr;
    pid_t pid = 0;
    int output[2];
    ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
    ASSERT_EQ(converter_start(&settings, 1000, 1000, output[1], area, sizeof(area), &stream, &pid),
              0);
    ASSERT_GT(pid, 0);
    // The descriptor given became the converter's standard output.
    std::string given = fd_target(getpid(), output[1]);
    EXPECT_NE(given, "");
    EXPECT_EQ(fd_target(pid, 1), given);
    EXPECT_EQ(fcntl(fileno(stream), F_GETPIPE_SZ), converter_pipe_size);

    struct row_case {
        std::size_t stride;
    };
    // Three areas' worth and the rows left over all fit the pipe, which the
    // converter never reads.
    const row_case cases[] = {{4}, {4960}, {20000}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.stride);
        std::vector<char> row(c.stride, 'r');
        std::fflush(stream);
        int before = bytes_in_pipe(stream);
        std::size_t held = 0;
        while (held + c.stride <= converter_buffer_size) {
            ASSERT_EQ(std::fwrite(row.data(), c.stride, 1, stream), 1U);
            held += c.stride;
        }
        // Every row so far still waits in the stream's area...
        EXPECT_EQ(bytes_in_pipe(stream), before);
        // ...and the one that does not fit sends the full area at once.
        ASSERT_EQ(std::fwrite(row.data(), c.stride, 1, stream), 1U);
        EXPECT_EQ(bytes_in_pipe(stream), before + static_cast<int>(converter_buffer_size));
    }

    // The converter would never end by itself.
    std::fflush(stream);
    kill(-pid, SIGKILL);
    signal(SIGPIPE, SIG_IGN);
    converter_close(stream);
    converter_wait(pid);
    close(output[0]);
    close(output[1]);
}

} // namespace
