#include "raster_stream.h"

#include <cstdio>
#include <cstdlib>
#include <cups/raster.h>

#include "converter.h"

[[noreturn]] static void fail(const char *message, int status)
{
    std::fputs(message, stderr);
    std::exit(status);
}

// The library hands over whatever cupsBytesPerLine a header claims, so the
// stride is the only guard between a hostile header and the row area.
static unsigned char *row_area(std::uint32_t bytes_per_line, std::size_t *stride)
{
    std::uint64_t wanted = row_stride(bytes_per_line);
    if (wanted > UINT32_MAX)
        fail("Raster row is too large.", 1);
    auto *row = static_cast<unsigned char *>(std::calloc(1, wanted));
    if (row == nullptr)
        fail("Cannot allocate the raster row area.", 1);
    *stride = wanted;
    return row;
}

// The pad bytes after each row's pixel data are zeroed once, with the area.
static void stream_page(cups_raster_t *raster, const cups_page_header2_t *header, FILE *converter)
{
    std::size_t stride = 0;
    unsigned char *row = row_area(header->cupsBytesPerLine, &stride);
    for (unsigned y = 0; y < header->cupsHeight; y++) {
        if (cupsRasterReadPixels(raster, row, header->cupsBytesPerLine) == 0)
            fail("cupsRasterReadPixels", 1);
        if (std::fwrite(row, stride, 1, converter) != 1) {
            std::perror("fwrite");
            std::exit(8);
        }
    }
    std::free(row);
}

int stream_job(int fd, const filter_settings *settings)
{
    cups_raster_t *raster = cupsRasterOpen(fd, CUPS_RASTER_READ);
    if (raster == nullptr)
        fail("Can't open CUPS raster file.", 1);

    FILE *converter = nullptr;
    cups_page_header2_t header;
    while (cupsRasterReadHeader2(raster, &header) != 0) {
        if (converter == nullptr)
            converter = converter_start(settings, header.cupsWidth, header.cupsHeight);
        stream_page(raster, &header, converter);
    }

    if (converter != nullptr)
        converter_finish(converter);
    cupsRasterClose(raster);
    return 0;
}
