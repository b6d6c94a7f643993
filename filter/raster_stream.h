// Streaming the raster pages, row by row, to the print converter.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cups/raster.h>

#include "filter_settings.h"

// Bytes sent per row: the pixel data rounded up to a multiple of 4.
constexpr std::uint64_t row_stride(std::uint32_t bytes_per_line)
{
    return (static_cast<std::uint64_t>(bytes_per_line) * 8 + 31) / 32 * 4;
}

// Streams every page of an open raster, starting the converter at the first
// page header unless *converter is already given. Returns 0 at the end of the
// raster, or the exit status of a failure whose message has been written.
int stream_pages(cups_raster_t *raster, const filter_settings *settings, FILE **converter);

// Reads the raster on fd and feeds it to the converter; returns the exit
// status of a finished job, or exits with a failure status.
int stream_job(int fd, const filter_settings *settings);
