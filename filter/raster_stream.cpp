#include "raster_stream.h"

#include <cstdio>
#include <cstdlib>

#include "converter.h"
#include "job_converter.h"

static int report(const char *message, int status)
{
    std::fputs(message, stderr);
    return status;
}

// The library hands over whatever cupsBytesPerLine a header claims, so the
// stride is the only guard between a hostile header and the row area. The
// pad bytes after each row's pixel data are zeroed once, with the area, and
// are never written again.
static int stream_page(cups_raster_t *raster, const cups_page_header2_t *header, FILE *converter)
{
    std::uint64_t stride = row_stride(header->cupsBytesPerLine);
    if (stride > UINT32_MAX)
        return report("Raster row is too large.", 1);
    auto *row = static_cast<unsigned char *>(std::calloc(1, stride));
    if (row == nullptr)
        return report("Cannot allocate the raster row area.", 1);
    int status = 0;
    for (unsigned y = 0; y < header->cupsHeight && status == 0; y++) {
        if (cupsRasterReadPixels(raster, row, header->cupsBytesPerLine) == 0) {
            status = report("cupsRasterReadPixels", 1);
        } else if (!converter_write(converter, row, stride)) {
            std::perror("fwrite");
            status = 8;
        }
    }
    std::free(row);
    return status;
}

int stream_pages(cups_raster_t *raster, const filter_settings *settings, FILE **converter)
{
    cups_page_header2_t header;
    while (cupsRasterReadHeader2(raster, &header) != 0) {
        if (*converter == nullptr)
            *converter = job_converter_start(settings, header.cupsWidth, header.cupsHeight);
        if (int status = stream_page(raster, &header, *converter))
            return status;
    }
    return 0;
}

int stream_job(int fd, const filter_settings *settings)
{
    cups_raster_t *raster = cupsRasterOpen(fd, CUPS_RASTER_READ);
    if (raster == nullptr) {
        std::fputs("Can't open CUPS raster file.", stderr);
        std::exit(1);
    }

    // A failure ends the process with the converter still running, once the
    // rows still buffered are delivered and its input has ended.
    FILE *converter = nullptr;
    if (int status = stream_pages(raster, settings, &converter)) {
        if (converter != nullptr)
            job_converter_abandon(converter);
        std::exit(status);
    }

    int status = converter != nullptr ? job_converter_finish(converter) : 0;
    cupsRasterClose(raster);
    return status;
}
