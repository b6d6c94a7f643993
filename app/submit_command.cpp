// The submit sub-command, as PAPPL's: -d PRINTER, -o NAME=VALUE, -n COPIES,
// files or standard input, and "PRINTER-ID" for each job accepted. Unlike
// PAPPL 1.3.1's, which prints the job id of any answer that carries one, a
// job the server refuses, or aborts while receiving it, makes the command
// print the server's reason and exit 1. PWG and Apple raster goes as
// spooled_raster_type unless the printer is idle with nothing queued: PAPPL
// prints raster while receiving it and refuses it while another job prints,
// while a spooled document waits for its turn.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libgen.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "app.h"

namespace
{

struct submit_args {
    std::string printer;
    int num_options = 0;
    cups_option_t *options = nullptr;
    std::vector<std::string> files;
};

// False for anything PAPPL's own parser should see (and explain).
bool parse_args(int argc, char *argv[], submit_args *args)
{
    for (int i = 2; i < argc; i++) {
        const char *arg = argv[i];
        if (arg[0] != '-' || std::strcmp(arg, "-") == 0) {
            args->files.emplace_back(arg);
            continue;
        }
        char letter = arg[1];
        const char *value = arg[2] != '\0' ? arg + 2 : (i + 1 < argc ? argv[++i] : nullptr);
        if (value == nullptr || (letter != 'd' && letter != 'o' && letter != 'n'))
            return false;
        if (letter == 'd')
            args->printer = value;
        else if (letter == 'o')
            args->num_options = cupsParseOptions(value, args->num_options, &args->options);
        else
            args->num_options = cupsAddOption("copies", value, args->num_options, &args->options);
    }
    return cupsGetOption("printer-uri", args->num_options, args->options) == nullptr;
}

void socket_path(const char *base, uid_t uid, char *path, std::size_t size)
{
    if (uid != 0)
        std::snprintf(path, size, "%s/%s%d.sock", papplGetTempDir(), base, static_cast<int>(uid));
    else
        std::snprintf(path, size, "/run/%s.sock", base);
}

http_t *connect_socket(const char *base)
{
    char path[1024];
    socket_path(base, getuid(), path, sizeof(path));
    http_t *http =
        httpConnect2(path, 0, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_IF_REQUESTED, 1, 30000, nullptr);
    if (http == nullptr && getuid() != 0) {
        socket_path(base, 0, path, sizeof(path));
        http = httpConnect2(path, 0, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_IF_REQUESTED, 1, 30000,
                            nullptr);
    }
    return http;
}

// As PAPPL's clients: with no server answering, the status sub-command
// starts one and waits for it.
http_t *connect_server(char *argv0, const char *base)
{
    if (http_t *http = connect_socket(base))
        return http;
    char status[] = "status";
    char *child_argv[] = {argv0, status, nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int error = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, child_argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error == 0) {
        int wait_status = 0;
        while (waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
        }
    }
    return connect_socket(base);
}

// A streamed raster is answered once it has printed, however long that
// takes: the command waits as long as the server works on it.
int keep_waiting(http_t * /*http*/, void * /*data*/)
{
    return 1;
}

void add_printer_uri(ipp_t *request, const std::string &printer, char *resource, std::size_t size)
{
    std::snprintf(resource, size, "/ipp/print/%s", printer.c_str());
    char uri[1024];
    httpAssembleURI(HTTP_URI_CODING_ALL, uri, sizeof(uri), "ipp", nullptr, "localhost", 0,
                    resource);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
}

bool default_printer(http_t *http, std::string *printer)
{
    ipp_t *request = ippNewRequest(IPP_OP_CUPS_GET_DEFAULT);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    ipp_t *response = cupsDoRequest(http, request, "/ipp/system");
    const char *name =
        ippGetString(ippFindAttribute(response, "printer-name", IPP_TAG_NAME), 0, nullptr);
    if (name != nullptr)
        *printer = name;
    ippDelete(response);
    return name != nullptr;
}

// Idle with nothing queued: a raster may print while it is sent.
bool printer_free(http_t *http, const std::string &printer)
{
    char resource[1024];
    ipp_t *request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    add_printer_uri(request, printer, resource, sizeof(resource));
    static const char *const wanted[] = {"printer-state", "queued-job-count"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr,
                  wanted);
    ipp_t *response = cupsDoRequest(http, request, resource);
    bool free =
        ippGetInteger(ippFindAttribute(response, "printer-state", IPP_TAG_ENUM), 0) ==
            IPP_PSTATE_IDLE &&
        ippGetInteger(ippFindAttribute(response, "queued-job-count", IPP_TAG_INTEGER), 0) == 0;
    ippDelete(response);
    return free;
}

bool is_raster(const char *filename)
{
    char magic[8] = "";
    int fd = open(filename, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t n = read(fd, magic, sizeof(magic));
    close(fd);
    return n == static_cast<ssize_t>(sizeof(magic)) &&
           (std::memcmp(magic, "RaS2", 4) == 0 || std::memcmp(magic, "UNIRAST", 8) == 0);
}

struct enum_word {
    const char *option, *word;
    int value;
};
const enum_word enum_words[] = {
    {"print-quality", "draft", IPP_QUALITY_DRAFT},
    {"print-quality", "normal", IPP_QUALITY_NORMAL},
    {"print-quality", "high", IPP_QUALITY_HIGH},
    {"orientation-requested", "portrait", IPP_ORIENT_PORTRAIT},
    {"orientation-requested", "landscape", IPP_ORIENT_LANDSCAPE},
    {"orientation-requested", "reverse-landscape", IPP_ORIENT_REVERSE_LANDSCAPE},
    {"orientation-requested", "reverse-portrait", IPP_ORIENT_REVERSE_PORTRAIT},
    {"orientation-requested", "none", IPP_ORIENT_NONE},
};

bool all_digits(const char *value)
{
    return value[0] != '\0' && std::strspn(value, "0123456789") == std::strlen(value);
}

// Job template attributes from -o: enums by name or number, integers,
// resolutions, the rest keywords; PAPPL answers for what it does not take.
void add_job_options(ipp_t *request, int num_options, cups_option_t *options)
{
    for (int i = 0; i < num_options; i++) {
        const char *name = options[i].name;
        const char *value = options[i].value;
        if (std::strcmp(name, "printer-name") == 0 || std::strcmp(name, "document-format") == 0 ||
            std::strcmp(name, "job-name") == 0)
            continue;
        int x = 0, y = 0;
        bool is_enum = false;
        for (const auto &e : enum_words) {
            if (std::strcmp(name, e.option) == 0) {
                is_enum = true;
                if (std::strcmp(value, e.word) == 0)
                    x = e.value;
            }
        }
        if (is_enum)
            ippAddInteger(request, IPP_TAG_JOB, IPP_TAG_ENUM, name, x != 0 ? x : std::atoi(value));
        else if (all_digits(value))
            ippAddInteger(request, IPP_TAG_JOB, IPP_TAG_INTEGER, name, std::atoi(value));
        else if (std::sscanf(value, "%dx%ddpi", &x, &y) == 2 ||
                 (std::sscanf(value, "%ddpi", &x) == 1 && (y = x) > 0))
            ippAddResolution(request, IPP_TAG_JOB, name, IPP_RES_PER_INCH, x, y);
        else
            ippAddString(request, IPP_TAG_JOB, IPP_TAG_KEYWORD, name, nullptr, value);
    }
}

struct submit_result {
    ipp_status_t status = IPP_STATUS_ERROR_INTERNAL;
    std::string message;
    int job_id = 0;
    ipp_jstate_t state = IPP_JSTATE_PENDING;
};

submit_result print_job(http_t *http, const submit_args &args, const std::string &printer,
                        const char *filename, const char *document_name, const char *format)
{
    char resource[1024];
    ipp_t *request = ippNewRequest(IPP_OP_PRINT_JOB);
    add_printer_uri(request, printer, resource, sizeof(resource));
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    const char *job_name = cupsGetOption("job-name", args.num_options, args.options);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr,
                 job_name != nullptr ? job_name : document_name);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "document-name", nullptr, document_name);
    if (format != nullptr)
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                     format);
    add_job_options(request, args.num_options, args.options);

    ipp_t *response = cupsDoFileRequest(http, request, resource, filename);
    submit_result r;
    r.status = cupsLastError();
    r.message = cupsLastErrorString() != nullptr ? cupsLastErrorString() : "";
    r.job_id = ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0);
    if (ipp_attribute_t *state = ippFindAttribute(response, "job-state", IPP_TAG_ENUM))
        r.state = static_cast<ipp_jstate_t>(ippGetInteger(state, 0));
    const char *job_message =
        ippGetString(ippFindAttribute(response, "job-state-message", IPP_TAG_TEXT), 0, nullptr);
    if (r.state != IPP_JSTATE_COMPLETED && r.state >= IPP_JSTATE_CANCELED &&
        job_message != nullptr && job_message[0] != '\0')
        r.message = job_message;
    ippDelete(response);
    return r;
}

bool copy_stdin(char *path, std::size_t size)
{
    std::snprintf(path, size, "%s/velokit-submitXXXXXX", papplGetTempDir());
    int fd = mkstemp(path);
    if (fd < 0)
        return false;
    char buffer[65536];
    ssize_t n = 0;
    bool ok = true;
    while (ok && (n = read(0, buffer, sizeof(buffer))) != 0) {
        if (n < 0)
            ok = errno == EINTR;
        else
            ok = write(fd, buffer, static_cast<std::size_t>(n)) == n;
    }
    return close(fd) == 0 && ok;
}

// One file: 0 when the server accepted it and did not abort it.
int submit_file(const char *base, http_t *http, const submit_args &args, const std::string &printer,
                const std::string &file)
{
    char temporary[1024] = "";
    const char *filename = file.c_str();
    const char *document_name = std::strrchr(filename, '/');
    document_name = document_name != nullptr ? document_name + 1 : filename;
    if (file == "-") {
        if (!copy_stdin(temporary, sizeof(temporary))) {
            std::fprintf(stderr, "%s: Unable to read the standard input: %s\n", base,
                         std::strerror(errno));
            return 1;
        }
        filename = temporary;
        document_name = "(stdin)";
    }
    const char *format = cupsGetOption("document-format", args.num_options, args.options);
    bool raster = format != nullptr ? std::strcmp(format, "image/pwg-raster") == 0 ||
                                          std::strcmp(format, "image/urf") == 0
                                    : is_raster(filename);
    if (raster && !printer_free(http, printer))
        format = spooled_raster_type;
    submit_result r = print_job(http, args, printer, filename, document_name, format);
    // Another job started between the look and the send: the raster waits
    // its turn instead.
    if (raster && r.status == IPP_STATUS_ERROR_BUSY)
        r = print_job(http, args, printer, filename, document_name, spooled_raster_type);
    if (temporary[0] != '\0')
        unlink(temporary);

    if (r.status > IPP_STATUS_OK_EVENTS_COMPLETE || r.job_id <= 0) {
        std::fprintf(stderr, "%s: Unable to print '%s': %s\n", base, file.c_str(),
                     r.message.c_str());
        return 1;
    }
    if (r.state == IPP_JSTATE_CANCELED || r.state == IPP_JSTATE_ABORTED) {
        std::fprintf(stderr, "%s: Job %s-%d was %s: %s\n", base, printer.c_str(), r.job_id,
                     r.state == IPP_JSTATE_CANCELED ? "canceled" : "aborted",
                     r.message.empty() ? "no reason given" : r.message.c_str());
        return 1;
    }
    std::printf("%s-%d\n", printer.c_str(), r.job_id);
    std::fflush(stdout);
    return 0;
}

} // namespace

int submit_command(int argc, char *argv[])
{
    submit_args args;
    if (!parse_args(argc, argv, &args)) {
        cupsFreeOptions(args.num_options, args.options);
        return -1;
    }
    std::string self = argv[0];
    const char *base = basename(self.data());
    if (args.files.empty() && isatty(0) == 0)
        args.files.emplace_back("-");
    if (args.files.empty()) {
        std::fprintf(stderr, "%s: No files to print.\n", base);
        cupsFreeOptions(args.num_options, args.options);
        return 1;
    }
    http_t *http = connect_server(argv[0], base);
    if (http != nullptr)
        httpSetTimeout(http, 30.0, keep_waiting, nullptr);
    int status = 1;
    if (http == nullptr) {
        std::fprintf(stderr, "%s: Unable to connect to the server.\n", base);
    } else if (args.printer.empty() && !default_printer(http, &args.printer)) {
        std::fprintf(stderr, "%s: No default printer available.\n", base);
    } else {
        status = 0;
        for (const auto &file : args.files) {
            if ((status = submit_file(base, http, args, args.printer, file)) != 0)
                break;
        }
    }
    httpClose(http);
    cupsFreeOptions(args.num_options, args.options);
    return status;
}
