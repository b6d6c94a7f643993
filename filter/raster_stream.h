// Streaming the raster pages, row by row, to the print converter.
#pragma once

#include <cstdint>

#include "filter_settings.h"

// Bytes sent per row: the pixel data rounded up to a multiple of 4.
constexpr std::uint64_t row_stride(std::uint32_t bytes_per_line)
{
    return (static_cast<std::uint64_t>(bytes_per_line) * 8 + 31) / 32 * 4;
}

// Reads the raster on fd and feeds it to the converter; returns the exit
// status of a finished job, or exits with a failure status.
int stream_job(int fd, const filter_settings *settings);
