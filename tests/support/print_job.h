// Jobs through the installed driver under the private scheduler: queues of
// the driver's own models, port files, submitting and following jobs.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

#include "job_state.h"

// Leaves exactly the port files /run/velokitlpN for the listed N, plain
// empty files, with any earlier bind mount on them undone.
void set_port_files(const std::vector<int> &ports);
std::string port_file(int port);

// lpadmin -p QUEUE -E -v DEVICE_URI, then the model's words: "-m URI" for a
// driver of the scheduler, "-P FILE" for a PPD file.
void add_driver_queue(const std::string &queue, const std::vector<std::string> &model,
                      const std::string &device_uri);

// lp -d QUEUE with each option as "-o NAME=VALUE"; returns the job id, or -1.
int lp_submit(const std::string &queue, const std::string &document,
              const std::vector<std::string> &options = {});

// The same job as an IPP Print-Job sent by ipptool to a queue of the private
// scheduler, or to the printer URI given as queue ("ipp://..."); NAME=VALUE
// options go as job attributes, a value of digits as an enum, any other as a
// keyword; document-format=TYPE replaces the PDF format.
int ipp_submit(const std::string &queue, const std::string &document,
               const std::vector<std::string> &options);

// A queue attribute as ipptool shows it ("draft,normal,high"), or "".
std::string ipp_printer_attribute(const std::string &queue, const std::string &name);

// The processes of a job's filter chain and backend still running: the CUPS
// filters, Ghostscript, the driver's programs and the converter.
std::vector<pid_t> job_processes();

// A two-page PDF made by Ghostscript: colour shapes, then text.
std::string make_sample_pdf(const std::string &dir);
