// rastertovelokit: the last filter of a Velokit queue. Settles the job's
// model, ink, media and quality, then streams its raster to the maker's
// print converter.
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>

#include "cancel_job.h"
#include "filter_settings.h"
#include "raster_stream.h"

[[noreturn]] static void fail(const char *message)
{
    std::fputs(message, stderr);
    std::exit(1);
}

int main(int argc, char *argv[])
{
    filter_settings settings{};
    settings_clear(&settings);
    // Before anything else, so that a cancel at any later point is handled.
    cancel_install();

    if (argc != 6 && argc != 7)
        fail("Insufficient options.");

    int fd = 0;
    if (argc == 7) {
        fd = open(argv[6], O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            std::perror("open");
            return 1;
        }
    }

    if (const char *failure = settings_from_options(&settings, argv[5]))
        fail(failure);
    if (const char *failure = settings_from_queue(&settings, argv[0]))
        fail(failure);
    return stream_job(fd, &settings);
}
