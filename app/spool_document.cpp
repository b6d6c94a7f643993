// A job's document in the spool directory, found after a crash for a job
// whose record was saved before its document arrived, and judged whole by
// its own format. The server answers a job only once its document is spooled
// whole; a crash in the moment between that answer and the next save of the
// state leaves a record without the document's name. A document cut short by
// a crash while it was still being received was never answered for, and is
// not taken.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <cups/raster.h>

#include "app.h"

// Only the last bytes are read to judge PDF, JPEG and PNG.
constexpr std::size_t tail_size = 1024;

static bool ends_with_bytes(const std::string &tail, const char *bytes, std::size_t n)
{
    return tail.size() >= n && tail.compare(tail.size() - n, n, bytes, n) == 0;
}

// PDF writers end with "%%EOF" and at most a line end or two after it.
static bool pdf_whole(const std::string &tail)
{
    std::size_t end = tail.find_last_not_of("\r\n \t\f");
    return end != std::string::npos && end >= 4 && tail.compare(end - 4, 5, "%%EOF") == 0;
}

// Every page's rows read back whole.
static bool raster_whole(int fd)
{
    lseek(fd, 0, SEEK_SET);
    cups_raster_t *raster = cupsRasterOpen(fd, CUPS_RASTER_READ);
    if (raster == nullptr)
        return false;
    cups_page_header2_t header;
    bool whole = true;
    int pages = 0;
    std::vector<unsigned char> row;
    while (whole && cupsRasterReadHeader2(raster, &header) != 0) {
        pages++;
        row.resize(header.cupsBytesPerLine);
        for (unsigned y = 0; whole && y < header.cupsHeight; y++)
            whole = cupsRasterReadPixels(raster, row.data(), header.cupsBytesPerLine) ==
                    header.cupsBytesPerLine;
    }
    cupsRasterClose(raster);
    return whole && pages > 0;
}

static bool document_whole(const char *path)
{
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    char head[8] = {};
    struct stat info {
    };
    bool readable = fstat(fd, &info) == 0 && read(fd, head, sizeof(head)) == sizeof(head);
    std::string tail(tail_size, '\0');
    auto tail_length = static_cast<off_t>(tail_size);
    off_t start = info.st_size > tail_length ? info.st_size - tail_length : 0;
    ssize_t n = readable ? pread(fd, tail.data(), tail.size(), start) : -1;
    tail.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    bool whole = false;
    if (std::memcmp(head, "%PDF", 4) == 0)
        whole = pdf_whole(tail);
    else if (std::memcmp(head, "\377\330\377", 3) == 0)
        whole = ends_with_bytes(tail, "\377\331", 2);
    else if (std::memcmp(head, "\211PNG", 4) == 0)
        whole = ends_with_bytes(tail, "IEND\256B`\202", 8);
    else if (std::memcmp(head, "RaS2", 4) == 0)
        whole = raster_whole(fd);
    close(fd);
    return whole;
}

// PAPPL names a job's files "pPPPPPjJJJJJJJJJ-NAME.EXT" in the spool
// directory; the document is the one that is not the attributes (".ipp").
bool spool_document_find(const char *spool_dir, int printer_id, int job_id, char *path,
                         std::size_t size)
{
    char prefix[32];
    std::snprintf(prefix, sizeof(prefix), "p%05dj%09d-", printer_id, job_id);
    DIR *dir = opendir(spool_dir);
    if (dir == nullptr)
        return false;
    bool found = false;
    for (dirent *e = nullptr; !found && (e = readdir(dir)) != nullptr;) {
        std::size_t len = std::strlen(e->d_name);
        if (std::strncmp(e->d_name, prefix, std::strlen(prefix)) != 0 ||
            (len > 4 && std::strcmp(e->d_name + len - 4, ".ipp") == 0))
            continue;
        int written = std::snprintf(path, size, "%s/%s", spool_dir, e->d_name);
        found = written > 0 && static_cast<std::size_t>(written) < size && document_whole(path);
    }
    closedir(dir);
    return found;
}
