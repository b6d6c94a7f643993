// rasterwrite KIND CONTENT OUT WxHxBPL [WxHxBPL...]: writes a raster file.
// KIND is v1, v2, v3 or v3raw; CONTENT is pattern, document or photo.
#include <cstdio>
#include <cstring>

#include "raster_writer.h"

int main(int argc, char *argv[])
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: rasterwrite v1|v2|v3|v3raw pattern|document|photo OUT "
                             "WxHxBPL...\n");
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
        if (std::sscanf(argv[i], "%ux%ux%u", &page.width, &page.height, &page.bytes_per_line) !=
            3) {
            std::fprintf(stderr, "rasterwrite: bad page %s\n", argv[i]);
            return 2;
        }
        pages.push_back(page);
    }
    return raster_write_file(argv[3], kind, pages, content) ? 0 : 1;
}
