#include "print_job.h"

#include <dirent.h>
#include <stdexcept>
#include <unistd.h>

#include "process.h"
#include "sandbox.h"

std::string port_file(int port)
{
    return "/var/run/velokitlp" + std::to_string(port);
}

void set_port_files(const std::vector<int> &ports)
{
    for (int n = 0; n < 8; n++) {
        // Undoes a bind mount on the port, if any, then the file itself.
        while (process_run({{"/bin/umount", "-n", port_file(n)}}).status == 0) {
        }
        unlink(port_file(n).c_str());
    }
    for (int n : ports)
        write_file(port_file(n), "", 0644);
}

void add_driver_queue(const std::string &queue, const std::vector<std::string> &model,
                      const std::string &device_uri)
{
    std::vector<std::string> argv = {"/usr/sbin/lpadmin", "-p", queue, "-E", "-v", device_uri};
    argv.insert(argv.end(), model.begin(), model.end());
    process_result r = process_run({argv});
    if (r.status != 0)
        throw std::runtime_error("lpadmin failed for " + queue + ": " + r.err);
}

int lp_submit(const std::string &queue, const std::string &document,
              const std::vector<std::string> &options)
{
    std::vector<std::string> argv = {"/usr/bin/lp", "-d", queue};
    for (const auto &o : options)
        argv.insert(argv.end(), {"-o", o});
    argv.push_back(document);
    process_result r = process_run({argv});
    // "request id is QUEUE-7 (1 file(s))"
    std::string prefix = "request id is " + queue + "-";
    if (r.status != 0 || r.out.compare(0, prefix.size(), prefix) != 0)
        return -1;
    return std::atoi(r.out.c_str() + prefix.size());
}

// Runs one ipptool request against the private scheduler's queue; returns
// the value that its DISPLAY line shows.
static std::string ipptool_display(const std::string &queue, const std::string &request,
                                   const std::string &display, const std::string &document = "")
{
    // A queue of the private scheduler, or a printer's own URI.
    std::string uri = queue;
    if (!queue.starts_with("ipp://")) {
        uri = "ipp://";
        for (char c : scheduler().socket)
            uri += c == '/' ? std::string("%2F") : std::string(1, c);
        uri += "/printers/" + queue;
    }
    std::string test = make_test_dir("ipptool") + "/request.test";
    write_file(test, "{\n" + request + "STATUS successful-ok\nDISPLAY " + display + "\n}\n");
    std::vector<std::string> argv = {"/usr/bin/ipptool", "-t"};
    if (!document.empty())
        argv.insert(argv.end(), {"-f", document});
    argv.insert(argv.end(), {uri, test});
    process_result r = process_run({argv});
    // "        job-id (integer) = 7"
    std::size_t at = r.out.find(" " + display + " (");
    std::size_t value = r.out.find(") = ", at);
    if (r.status != 0 || at == std::string::npos || value == std::string::npos)
        return "";
    return r.out.substr(value + 4, r.out.find('\n', value) - value - 4);
}

static const char *const ipp_operation_attributes =
    "GROUP operation-attributes-tag\n"
    "ATTR charset attributes-charset utf-8\n"
    "ATTR naturalLanguage attributes-natural-language en\n"
    "ATTR uri printer-uri $uri\n"
    "ATTR name requesting-user-name velokit-test\n";

int ipp_submit(const std::string &queue, const std::string &document,
               const std::vector<std::string> &options)
{
    std::string format = "application/pdf", job_attributes;
    for (const auto &o : options) {
        std::string name = o.substr(0, o.find('=')), value = o.substr(o.find('=') + 1);
        bool digits = value.find_first_not_of("0123456789") == std::string::npos;
        if (name == "document-format")
            format = value;
        else
            job_attributes +=
                "ATTR " + std::string(digits ? "enum " : "keyword ") + name + " " + value + "\n";
    }
    std::string request = std::string("OPERATION Print-Job\n") + ipp_operation_attributes +
                          "ATTR mimeMediaType document-format " + format +
                          "\nGROUP job-attributes-tag\n" + job_attributes;
    std::string id = ipptool_display(queue, request + "FILE $filename\n", "job-id", document);
    return id.empty() ? -1 : std::atoi(id.c_str());
}

std::string ipp_printer_attribute(const std::string &queue, const std::string &name)
{
    return ipptool_display(queue,
                           std::string("OPERATION Get-Printer-Attributes\n") +
                               ipp_operation_attributes + "ATTR keyword requested-attributes " +
                               name + "\n",
                           name);
}

std::vector<pid_t> job_processes()
{
    static const char *const programs[] = {
        "/usr/lib/cups/filter/pdftopdf",        "/usr/lib/cups/filter/gstoraster",
        "/usr/lib/cups/filter/rastertovelokit", "/usr/lib/cups/filter/velokit-filter",
        "/usr/lib/cups/backend/velokitlp",      "/usr/bin/gs",
    };
    std::vector<pid_t> found;
    DIR *proc = opendir("/proc");
    for (dirent *e; proc != nullptr && (e = readdir(proc)) != nullptr;) {
        pid_t pid = std::atoi(e->d_name);
        if (pid <= 0 || process_gone(pid))
            continue;
        char exe[256];
        ssize_t n =
            readlink(("/proc/" + std::string(e->d_name) + "/exe").c_str(), exe, sizeof exe - 1);
        if (n <= 0)
            continue;
        exe[n] = '\0';
        for (const char *program : programs) {
            if (std::string(exe) == program)
                found.push_back(pid);
        }
    }
    if (proc != nullptr)
        closedir(proc);
    return found;
}

std::string make_sample_pdf(const std::string &dir)
{
    std::string ps = dir + "/sample.ps", pdf = dir + "/sample.pdf";
    write_file(ps, "%!PS\n"
                   "0.9 0.2 0.1 setrgbcolor 72 400 300 200 rectfill\n"
                   "0.1 0.3 0.8 setrgbcolor 300 300 100 0 360 arc fill showpage\n"
                   "/Helvetica findfont 24 scalefont setfont\n"
                   "72 700 moveto (Second page) show showpage\n");
    process_result r = process_run({{"/usr/bin/gs", "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER",
                                     "-sDEVICE=pdfwrite", "-sOutputFile=" + pdf, ps}});
    if (r.status != 0)
        throw std::runtime_error("gs could not make the sample PDF: " + r.err);
    return pdf;
}
