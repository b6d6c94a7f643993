// Streaming the raster pages, row by row, to the print converter.
#pragma once

#include <cstdio>
#include <cups/raster.h>

#include "converter.h"
#include "filter_settings.h"

// Streams every page of an open raster, starting the converter at the first
// page header unless *converter is already given. Returns 0 at the end of the
// raster, or the exit status of a failure whose message has been written.
int stream_pages(cups_raster_t *raster, const filter_settings *settings, FILE **converter);

// Reads the raster on fd and feeds it to the converter; returns the exit
// status of a finished job, or exits with a failure status.
int stream_job(int fd, const filter_settings *settings);
