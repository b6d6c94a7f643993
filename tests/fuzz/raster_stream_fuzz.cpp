// The filter's page loop on arbitrary raster bytes: page header, stride, row
// area and row writes, with libcups reading the stream from memory and the
// converter played by a sink that counts what it gets.
//
// A sink that takes more than a few pages' worth fails its writes, as a
// converter that stopped reading would, so a header that claims huge pages
// ends in the filter's own write-failure path instead of running for ever;
// allocations over 32 MiB fail (see the options below), so huge rows take
// the filter's allocation-failure path.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cups/raster.h>

#include "filter_settings.h"
#include "raster_stream.h"

extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1:max_allocation_size_mb=32";
}

namespace
{

struct memory_input {
    const std::uint8_t *data;
    std::size_t size;
    std::size_t pos;
};

ssize_t memory_read(void *context, unsigned char *buffer, std::size_t bytes)
{
    auto *in = static_cast<memory_input *>(context);
    std::size_t n = bytes < in->size - in->pos ? bytes : in->size - in->pos;
    std::memcpy(buffer, in->data + in->pos, n);
    in->pos += n;
    return static_cast<ssize_t>(n);
}

constexpr std::uint64_t sink_budget = 1U << 20;

// A cookie's write says "failed" by taking nothing; it must never return -1.
ssize_t sink_write(void *context, const char *, std::size_t size)
{
    auto *taken = static_cast<std::uint64_t *>(context);
    if (*taken + size > sink_budget)
        return 0;
    *taken += size;
    return static_cast<ssize_t>(size);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    memory_input in{data, size, 0};
    cups_raster_t *raster = cupsRasterOpenIO(memory_read, &in, CUPS_RASTER_READ);
    if (raster == nullptr)
        return 0;

    std::uint64_t taken = 0;
    cookie_io_functions_t io{nullptr, sink_write, nullptr, nullptr};
    FILE *sink = fopencookie(&taken, "w", io);
    if (sink == nullptr)
        std::abort();
    FILE *converter = sink;
    // The converter is given, so the settings are never read.
    filter_settings settings{};
    int status = stream_pages(raster, &settings, &converter);
    bool flushed = std::fclose(sink) == 0;
    cupsRasterClose(raster);

    // Only these outcomes exist; a finished job has sent whole padded rows.
    if (converter != sink || (status != 0 && status != 1 && status != 8))
        std::abort();
    if (status == 0 && flushed && taken % 4 != 0)
        std::abort();
    return 0;
}
