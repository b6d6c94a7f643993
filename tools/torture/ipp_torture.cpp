// Several IPP clients at once against one printer, for a bounded time, each
// picking its next request at random from a seeded generator: Print-Job,
// Create-Job with Send-Document, Cancel-Job of a job just made or of any
// recent one, Validate-Job with bad attributes, and requests cut short on a
// raw connection. Every request that is sent whole must be answered.
//
// usage: ipp-torture HOST PORT RESOURCE SECONDS SEED CLIENTS PDF RASTER
// Prints the seed and the figures; exits 0 when every request was answered.
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cups/cups.h>
#include <netinet/in.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

struct target {
    const char *host;
    int port;
    const char *resource;
    std::string uri;
    const char *pdf, *raster;
};

std::atomic<int> last_job{0};
std::atomic<long> sent{0}, answered{0}, truncated{0};
std::atomic<bool> server_gone{false}; // a refused connection ends the run

ipp_t *new_request(ipp_op_t op, const target &t)
{
    ipp_t *request = ippNewRequest(op);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, t.uri.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 "torture");
    return request;
}

// Sends the request and the file, if any, on a connection of its own, and
// reads the answer even when the server stopped reading the document (a
// raster job while another prints is refused at once). The job id of the
// answer, 0 for none, -1 when no answer came.
int exchange(ipp_t *request, const target &t, const char *file)
{
    sent++;
    const char *operation = ippOpString(ippGetOperation(request));
    http_t *http =
        httpConnect2(t.host, t.port, nullptr, AF_INET, HTTP_ENCRYPTION_NEVER, 1, 10000, nullptr);
    ipp_t *response = nullptr;
    if (http == nullptr)
        server_gone = true;
    else {
        httpSetTimeout(http, 60.0, nullptr, nullptr);
        std::FILE *document = file != nullptr ? std::fopen(file, "rb") : nullptr;
        struct stat info {
        };
        if (document != nullptr)
            fstat(fileno(document), &info);
        http_status_t status =
            cupsSendRequest(http, request, t.resource, static_cast<std::size_t>(info.st_size));
        char buffer[8192];
        for (std::size_t n; status == HTTP_STATUS_CONTINUE && document != nullptr &&
                            (n = std::fread(buffer, 1, sizeof(buffer), document)) > 0;)
            status = cupsWriteRequestData(http, buffer, n);
        if (document != nullptr)
            std::fclose(document);
        response = cupsGetResponse(http, t.resource);
        if (response == nullptr)
            std::fprintf(stderr, "ipp-torture: HTTP status %d, error %s\n", httpGetStatus(http),
                         std::strerror(httpError(http)));
        httpClose(http);
    }
    ippDelete(request);
    if (response == nullptr) {
        std::fprintf(stderr, "ipp-torture: no answer to %s: %s\n", operation,
                     cupsLastErrorString());
        return -1;
    }
    answered++;
    int job = ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0);
    ippDelete(response);
    if (job > 0)
        last_job = job;
    return job;
}

int cancel(const target &t, int job)
{
    ipp_t *request = new_request(IPP_OP_CANCEL_JOB, t);
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", job);
    return exchange(request, t, nullptr);
}

int print_job(const target &t, bool pdf)
{
    ipp_t *request = new_request(IPP_OP_PRINT_JOB, t);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                 pdf ? "application/pdf" : "image/pwg-raster");
    return exchange(request, t, pdf ? t.pdf : t.raster);
}

int create_and_send(const target &t, bool cancel_between)
{
    int job = exchange(new_request(IPP_OP_CREATE_JOB, t), t, nullptr);
    if (job <= 0)
        return job;
    if (cancel_between)
        cancel(t, job);
    ipp_t *request = new_request(IPP_OP_SEND_DOCUMENT, t);
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", job);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                 "application/pdf");
    ippAddBoolean(request, IPP_TAG_OPERATION, "last-document", 1);
    return exchange(request, t, t.pdf);
}

// Values of the wrong kind, out of range or unknown.
int validate_bad(const target &t, std::mt19937 &random)
{
    ipp_t *request = new_request(IPP_OP_VALIDATE_JOB, t);
    switch (random() % 5) {
    case 0:
        ippAddString(request, IPP_TAG_JOB, IPP_TAG_KEYWORD, "media", nullptr, "no_such_media");
        break;
    case 1:
        ippAddInteger(request, IPP_TAG_JOB, IPP_TAG_ENUM, "print-quality", 99);
        break;
    case 2:
        ippAddInteger(request, IPP_TAG_JOB, IPP_TAG_INTEGER, "copies", -5);
        break;
    case 3:
        ippAddString(request, IPP_TAG_JOB, IPP_TAG_TEXT, "print-color-mode", nullptr, "plaid");
        break;
    default: {
        // A media-size that is a number, not a collection.
        ipp_t *col = ippNew();
        ippAddInteger(col, IPP_TAG_ZERO, IPP_TAG_INTEGER, "media-size", 7);
        ippAddCollection(request, IPP_TAG_JOB, "media-col", col);
        ippDelete(col);
        break;
    }
    }
    return exchange(request, t, nullptr);
}

// A POST whose body stops before its Content-Length, on a connection of its
// own that is then closed: the server must drop it and carry on.
void send_truncated(const target &t, std::mt19937 &random)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(t.port));
    inet_pton(AF_INET, t.host, &address.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0) {
        std::string head = std::string("POST ") + t.resource +
                           " HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/ipp\r\n"
                           "Content-Length: 4096\r\n\r\n";
        // The start of an IPP/2.0 Print-Job request (version, operation,
        // request id, operation group, a charset tag), cut at a random byte.
        static const unsigned char ipp_start[] = {2, 0, 0, 2, 0, 0, 0, 1, 1, 0x47, 0, 18};
        std::size_t cut = random() % sizeof(ipp_start);
        (void)!write(fd, head.data(), head.size());
        (void)!write(fd, ipp_start, cut);
        truncated++;
    }
    close(fd);
}

void client(const target &t, unsigned seed, std::chrono::steady_clock::time_point end)
{
    std::mt19937 random(seed);
    while (!server_gone && std::chrono::steady_clock::now() < end) {
        // Up to 100 ms between requests: bursts at once, yet a queue the
        // printer can still work through.
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 100));
        switch (random() % 8) {
        case 0:
        case 1: {
            int job = print_job(t, true);
            if (job > 0 && random() % 2 == 0)
                cancel(t, job);
            break;
        }
        case 2:
            print_job(t, false);
            break;
        case 3:
            create_and_send(t, random() % 2 == 0);
            break;
        case 4:
            cancel(t, last_job - static_cast<int>(random() % 3));
            break;
        case 5:
            validate_bad(t, random);
            break;
        case 6:
            send_truncated(t, random);
            break;
        default:
            exchange(new_request(IPP_OP_GET_PRINTER_ATTRIBUTES, t), t, nullptr);
            break;
        }
    }
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 9) {
        std::fprintf(stderr,
                     "usage: ipp-torture HOST PORT RESOURCE SECONDS SEED CLIENTS PDF RASTER\n");
        return 2;
    }
    target t{argv[1], std::atoi(argv[2]), argv[3], "", argv[7], argv[8]};
    t.uri = std::string("ipp://") + t.host + ":" + argv[2] + t.resource;
    int seconds = std::atoi(argv[4]);
    unsigned seed = static_cast<unsigned>(std::strtoul(argv[5], nullptr, 10));
    int clients = std::atoi(argv[6]);
    // A cut-short request's connection may be closed under its writes.
    std::signal(SIGPIPE, SIG_IGN);
    std::printf("ipp-torture: seed %u, %d clients, %d seconds\n", seed, clients, seconds);
    std::fflush(stdout);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; i++)
        threads.emplace_back(client, std::cref(t), seed + static_cast<unsigned>(i), end);
    for (auto &thread : threads)
        thread.join();
    std::printf("ipp-torture: %ld requests, %ld answered, %ld cut short\n", sent.load(),
                answered.load(), truncated.load());
    return sent == answered ? 0 : 1;
}
