// The test page of the web interface's Print Test Page: one page of the
// printer's default media at its draft resolution, in PWG raster, which then
// prints as any spooled raster job does.
#include <cstring>
#include <unistd.h>
#include <vector>

#include "app.h"

// Bands of red, green, blue and a gray ramp across a white sheet, so colour
// and the sheet's orientation show at a glance.
static void test_row(const cups_page_header2_t *header, unsigned y, unsigned char *row)
{
    std::memset(row, 255, header->cupsBytesPerLine);
    unsigned band = y * 8 / header->cupsHeight;
    unsigned margin = header->cupsWidth / 10;
    for (unsigned x = margin; x + margin < header->cupsWidth; x++) {
        unsigned char *pixel = row + static_cast<std::size_t>(3) * x;
        if (band >= 1 && band <= 3) {
            pixel[0] = band == 1 ? 220 : 30;
            pixel[1] = band == 2 ? 200 : 30;
            pixel[2] = band == 3 ? 220 : 30;
        } else if (band == 5) {
            pixel[0] = pixel[1] = pixel[2] =
                static_cast<unsigned char>(255 * (x - margin) / (header->cupsWidth - 2 * margin));
        }
    }
}

const char *test_page(pappl_printer_t *printer, char *buffer, std::size_t size)
{
    pappl_pr_driver_data_t data;
    papplPrinterGetDriverData(printer, &data);
    pwg_media_t *media = pwgMediaForPWG(data.media_default.size_name);
    cups_page_header2_t header;
    if (media == nullptr ||
        cupsRasterInitPWGHeader(&header, media, "srgb_8", data.x_resolution[0],
                                data.y_resolution[0], "one-sided", nullptr) == 0)
        return nullptr;
    // In the spool directory, which PAPPL cleans with the job.
    int fd = papplPrinterOpenFile(printer, buffer, size, nullptr, "testpage", "pwg", "w");
    if (fd < 0)
        return nullptr;
    cups_raster_t *raster = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
    bool ok = raster != nullptr && cupsRasterWriteHeader2(raster, &header) != 0;
    std::vector<unsigned char> row(header.cupsBytesPerLine);
    for (unsigned y = 0; ok && y < header.cupsHeight; y++) {
        test_row(&header, y, row.data());
        ok = cupsRasterWritePixels(raster, row.data(), header.cupsBytesPerLine) != 0;
    }
    if (raster != nullptr)
        cupsRasterClose(raster);
    close(fd);
    if (!ok) {
        unlink(buffer);
        return nullptr;
    }
    return buffer;
}
