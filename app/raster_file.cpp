// PWG raster that is not streamed by PAPPL: Ghostscript's rendering of a
// PDF, a spooled raster job, the test page. Every page goes through the same
// raster callbacks as PAPPL's own raster jobs.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "print_job.h"

// PAPPL's own check of a client's raster, applied to Ghostscript's and to
// spooled raster: 8 bits a colour, or one bit of black or gray.
static bool header_usable(const cups_page_header2_t *header)
{
    bool one_bit =
        header->cupsBitsPerColor == 1 && header->cupsBitsPerPixel == 1 &&
        (header->cupsColorSpace == CUPS_CSPACE_K || header->cupsColorSpace == CUPS_CSPACE_W ||
         header->cupsColorSpace == CUPS_CSPACE_SW);
    return header->cupsWidth > 0 && header->cupsHeight > 0 &&
           (header->cupsBitsPerColor == 8 || one_bit) &&
           header->cupsColorOrder == CUPS_ORDER_CHUNKED &&
           header->cupsBytesPerLine == (header->cupsWidth * header->cupsBitsPerPixel + 7) / 8;
}

// One-bit pages reach the converter as 8-bit gray, white where no ink goes.
static void widen_header(cups_page_header2_t *header)
{
    header->cupsBitsPerColor = 8;
    header->cupsBitsPerPixel = 8;
    header->cupsBytesPerLine = header->cupsWidth;
    header->cupsColorSpace = CUPS_CSPACE_SW;
    header->cupsNumColors = 1;
}

static void widen_row(const unsigned char *bits, unsigned width, bool ones_black,
                      unsigned char *row)
{
    for (unsigned x = 0; x < width; x++) {
        bool set = (bits[x / 8] & (0x80 >> (x % 8))) != 0;
        row[x] = set == ones_black ? 0x00 : 0xff;
    }
}

static bool print_page(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                       cups_raster_t *raster, unsigned page, std::vector<unsigned char> &row)
{
    cups_page_header2_t read = options->header;
    bool one_bit = read.cupsBitsPerPixel == 1;
    if (one_bit)
        widen_header(&options->header);
    if (!job_start_page(job, options, device, page))
        return false;
    std::vector<unsigned char> bits(read.cupsBytesPerLine);
    row.resize(options->header.cupsBytesPerLine);
    bool ok = true;
    for (unsigned y = 0; ok && y < read.cupsHeight && !papplJobIsCanceled(job); y++) {
        unsigned char *in = one_bit ? bits.data() : row.data();
        ok = cupsRasterReadPixels(raster, in, read.cupsBytesPerLine) != 0;
        if (ok && one_bit)
            widen_row(in, read.cupsWidth, read.cupsColorSpace == CUPS_CSPACE_K, row.data());
        ok = ok && job_write_row(job, options, device, y, row.data());
    }
    ok = job_end_page(job, options, device, page) && ok;
    papplJobSetImpressionsCompleted(job, 1);
    return ok;
}

static bool print_pages(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                        int input)
{
    cups_raster_t *raster = cupsRasterOpen(input, CUPS_RASTER_READ);
    if (raster == nullptr)
        return false;
    std::vector<unsigned char> row;
    unsigned page = 0;
    bool ok = true;
    cups_page_header2_t header;
    while (ok && !papplJobIsCanceled(job) && cupsRasterReadHeader2(raster, &header) != 0) {
        if (!header_usable(&header)) {
            papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The raster has a page that cannot be printed.");
            ok = false;
            break;
        }
        options->header = header;
        ok = print_page(job, options, device, raster, ++page, row);
    }
    cupsRasterClose(raster);
    if (ok && page == 0 && !papplJobIsCanceled(job)) {
        papplJobSetMessage(job, "The document has no pages that can be printed.");
        ok = false;
    }
    return ok;
}

bool print_raster_stream(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                         int input)
{
    if (!job_start(job, options, device))
        return false;
    bool ok = print_pages(job, options, device, input);
    return job_end(job, options, device) && ok;
}

// A spooled raster document, from its spool file.
static bool print_spooled_raster(pappl_job_t *job, pappl_pr_options_t *options,
                                 pappl_device_t *device)
{
    char path[1024];
    if (!job_document_path(job, path, sizeof(path)))
        return false;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Cannot open the job's file: %s",
                    std::strerror(errno));
        return false;
    }
    bool ok = print_raster_stream(job, options, device, fd);
    close(fd);
    return ok;
}

// A job PAPPL could not type arrives here as a "raw" job of the drivers'
// own format.
bool print_raster_file(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device)
{
    bool result = false;
    if (!job_filter_claim(job, options, &result))
        return result;
    result = print_spooled_raster(job, options, device);
    // PAPPL counts the one page it assumes a raw job to be; the pages were
    // counted as they printed.
    papplJobSetImpressionsCompleted(job, -1);
    return job_filter_done(job, result);
}

// A raster job that was spooled (held, or the test page) rather than
// streamed: the drivers name no format of their own, which PAPPL would
// otherwise list twice beside PWG raster, so it comes through this filter.
bool raster_filter(pappl_job_t *job, pappl_device_t *device, void * /*data*/)
{
    bool result = false;
    if (!job_filter_claim(job, nullptr, &result))
        return result;
    pappl_pr_options_t *options = papplJobCreatePrintOptions(job, 0, true);
    result = options != nullptr && print_spooled_raster(job, options, device);
    if (options != nullptr)
        papplJobDeletePrintOptions(options);
    return job_filter_done(job, result);
}

// PWG or Apple raster sent as spooled_raster_type: PAPPL spools it like any
// document instead of printing it while it arrives, which it refuses while
// another job prints.
bool spooled_raster_filter(pappl_job_t *job, pappl_device_t *device, void *data)
{
    return raster_filter(job, device, data);
}
