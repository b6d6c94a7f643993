// rasterwrite KIND CONTENT OUT PAGE [PAGE...]: writes a raster file.
// KIND is v1, v2, v3 or v3raw; CONTENT is pattern, document or photo; each
// PAGE is WxHxBPL[@DPI][,rgb|,cmyk] (300 dpi and 8-bit black unless given).
#include <cstdio>
#include <cstring>

#include "raster_writer.h"

static bool parse_page(const char *text, raster_page *page)
{
    int used = 0;
    if (std::sscanf(text, "%ux%ux%u%n", &page->width, &page->height, &page->bytes_per_line,
                    &used) != 3)
        return false;
    text += used;
    if (*text == '@') {
        if (std::sscanf(text, "@%u%n", &page->dpi, &used) != 1)
            return false;
        text += used;
    }
    if (std::strcmp(text, ",rgb") == 0)
        page->colors = 3;
    else if (std::strcmp(text, ",cmyk") == 0)
        page->colors = 4;
    else if (*text != '\0')
        return false;
    return true;
}

int main(int argc, char *argv[])
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: rasterwrite v1|v2|v3|v3raw pattern|document|photo OUT "
                             "WxHxBPL[@DPI][,rgb|,cmyk]...\n");
        return 2;
    }
    raster_kind kind = std::strcmp(argv[1], "v1") == 0   ? raster_kind::v1
                       : std::strcmp(argv[1], "v2") == 0 ? raster_kind::v2
                       : std::strcmp(argv[1], "v3") == 0 ? raster_kind::v3
                                                         : raster_kind::v3_raw;
    raster_content content = std::strcmp(argv[2], "document") == 0 ? raster_content::document
                             : std::strcmp(argv[2], "photo") == 0  ? raster_content::photo
                                                                   : raster_content::pattern;
    std::vector<raster_page> pages;
    for (int i = 4; i < argc; i++) {
        raster_page page{};
        if (!parse_page(argv[i], &page)) {
            std::fprintf(stderr, "rasterwrite: bad page %s\n", argv[i]);
            return 2;
        }
        pages.push_back(page);
    }
    return raster_write_file(argv[3], kind, pages, content) ? 0 : 1;
}
