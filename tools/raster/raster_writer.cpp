#include "raster_writer.h"

#include <cstring>
#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

void raster_row(raster_content content, unsigned page, unsigned row, unsigned char *data,
                std::uint32_t bytes_per_line)
{
    std::uint32_t seed = page * 2654435761U + row * 40503U + 1;
    for (std::uint32_t x = 0; x < bytes_per_line; x++) {
        switch (content) {
        case raster_content::pattern:
            data[x] = raster_pattern_byte(page, row, x);
            break;
        case raster_content::document:
            data[x] = ((row / 12) % 3 == 0 && (x / 40) % 4 == 1) ? 0x20 : 0xff;
            break;
        case raster_content::photo:
            seed = seed * 1103515245U + 12345U;
            data[x] = static_cast<unsigned char>((x + row) / 8 + ((seed >> 16) & 0x1f));
            break;
        }
    }
}

static void fill_header(cups_page_header2_t *h, const raster_page &page)
{
    std::memset(h, 0, sizeof(*h));
    std::strcpy(h->MediaClass, "PwgRaster");
    h->HWResolution[0] = h->HWResolution[1] = page.dpi;
    h->cupsWidth = page.width;
    h->cupsHeight = page.height;
    h->cupsBytesPerLine = page.bytes_per_line;
    h->cupsBitsPerColor = 8;
    h->cupsBitsPerPixel = 8 * page.colors;
    h->cupsNumColors = page.colors;
    h->cupsColorOrder = CUPS_ORDER_CHUNKED;
    h->cupsColorSpace = page.colors == 4   ? CUPS_CSPACE_CMYK
                        : page.colors == 3 ? CUPS_CSPACE_RGB
                                           : CUPS_CSPACE_K;
}

static bool write_all(int fd, const void *data, size_t len)
{
    const char *p = static_cast<const char *>(data);
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Version 1 streams carry only the first, version-1 part of each header.
static bool write_raw(int fd, raster_kind kind, const std::vector<raster_page> &pages,
                      raster_content content)
{
    // The sync word goes out in this machine's byte order, as libcups writes it.
    unsigned sync = kind == raster_kind::v1 ? CUPS_RASTER_SYNCv1 : CUPS_RASTER_SYNC;
    std::size_t header_size =
        kind == raster_kind::v1 ? sizeof(cups_page_header_t) : sizeof(cups_page_header2_t);
    if (!write_all(fd, &sync, sizeof(sync)))
        return false;
    std::vector<unsigned char> row;
    for (unsigned p = 0; p < pages.size(); p++) {
        cups_page_header2_t header;
        fill_header(&header, pages[p]);
        if (!write_all(fd, &header, header_size))
            return false;
        row.resize(pages[p].bytes_per_line);
        for (unsigned y = 0; y < pages[p].height; y++) {
            raster_row(content, p, y, row.data(), pages[p].bytes_per_line);
            if (!write_all(fd, row.data(), row.size()))
                return false;
        }
    }
    return true;
}

static bool write_library(int fd, raster_kind kind, const std::vector<raster_page> &pages,
                          raster_content content)
{
    cups_raster_t *raster = cupsRasterOpen(
        fd, kind == raster_kind::v2 ? CUPS_RASTER_WRITE_COMPRESSED : CUPS_RASTER_WRITE);
    if (raster == nullptr)
        return false;
    bool ok = true;
    std::vector<unsigned char> row;
    for (unsigned p = 0; ok && p < pages.size(); p++) {
        cups_page_header2_t header;
        fill_header(&header, pages[p]);
        ok = cupsRasterWriteHeader2(raster, &header) != 0;
        row.resize(pages[p].bytes_per_line);
        for (unsigned y = 0; ok && y < pages[p].height; y++) {
            raster_row(content, p, y, row.data(), pages[p].bytes_per_line);
            ok = cupsRasterWritePixels(raster, row.data(), pages[p].bytes_per_line) ==
                 pages[p].bytes_per_line;
        }
    }
    cupsRasterClose(raster);
    return ok;
}

bool raster_write_file(const std::string &path, raster_kind kind,
                       const std::vector<raster_page> &pages, raster_content content, long cut_at)
{
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    bool by_hand = kind == raster_kind::v1 || kind == raster_kind::v3_raw;
    bool ok =
        by_hand ? write_raw(fd, kind, pages, content) : write_library(fd, kind, pages, content);
    if (ok && cut_at >= 0)
        ok = ftruncate(fd, cut_at) == 0;
    return close(fd) == 0 && ok;
}
