// Writes CUPS raster streams for tests and the benchmark, with libcups's own
// writer wherever it can write what is asked for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class raster_kind {
    v1,     // uncompressed, version-1 headers (built by hand: libcups writes no v1)
    v2,     // compressed, "RaS2"
    v3,     // uncompressed, "RaS3"
    v3_raw, // version 3 built by hand: any header values, even ones libcups refuses to write
};

enum class raster_content {
    pattern,  // every byte a function of page, row and column (tests)
    document, // mostly white with sparse dark runs (compresses well)
    photo,    // noisy gradients (compresses badly)
};

struct raster_page {
    std::uint32_t width;
    std::uint32_t height;
    std::uint32_t bytes_per_line;
    std::uint32_t dpi = 300;
    // 8-bit colors per pixel, chunked: 1 black (K), 3 RGB, 4 CMYK.
    std::uint32_t colors = 1;
};

// The pixel byte that raster_content::pattern puts at (page, row, column).
inline unsigned char raster_pattern_byte(unsigned page, unsigned row, unsigned column)
{
    return static_cast<unsigned char>(page * 31 + row * 7 + column * 13 + 1);
}

// Writes the pages to path; with cut_at >= 0 the file is then cut to that
// many bytes. Returns false on any failure.
bool raster_write_file(const std::string &path, raster_kind kind,
                       const std::vector<raster_page> &pages,
                       raster_content content = raster_content::pattern, long cut_at = -1);

// The bytes of one row as raster_write_file writes them.
void raster_row(raster_content content, unsigned page, unsigned row, unsigned char *data,
                std::uint32_t bytes_per_line);
