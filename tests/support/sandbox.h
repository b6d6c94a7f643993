// What the process-level tests need from tools/sandbox and tools/scheduler.
#pragma once

#include <string>
#include <vector>

#include "process.h"

// Fails the calling test unless it runs inside tools/sandbox.
void require_sandbox();

// A private cupsd for the whole test program, started on first use.
struct private_scheduler {
    std::string dir;
    std::string socket;
};
const private_scheduler &scheduler();
// Starts it with NAME=VALUE settings for the environment of its filters;
// only before its first use.
void scheduler_start(const std::vector<std::string> &setenv);
// Adds (or replaces) a queue that serves the given PPD text.
void scheduler_add_queue(const std::string &queue, const std::string &ppd_text,
                         const std::string &device_uri = "socket://127.0.0.1:9100");
void scheduler_stop();

// A scheduler socket that takes the filter's request and never answers, to
// hold the filter inside its PPD fetch.
struct mute_scheduler {
    int listener = -1, peer = -1;
    std::string path;
    mute_scheduler();
    ~mute_scheduler();
    mute_scheduler(const mute_scheduler &) = delete;
    mute_scheduler &operator=(const mute_scheduler &) = delete;
    // True once a request has arrived and is waiting for its answer.
    bool request_pending();
};

// A test PPD of this driver; empty arguments leave the line or option out.
struct test_ppd {
    std::string model = "ORVEX Inkjet Printer V1";
    std::string default_page_size = "A4";
    std::string default_ink = "COLOR";
    std::string default_quality = "NORMAL";
    bool page_size = true, ink = true, quality = true;
    bool runs_filter = false; // jobs of the queue run rastertovelokit
};
std::string ppd_text(const test_ppd &ppd);

// Paths of the built programs and of the project's tools.
std::string tool_path(const std::string &name);
extern const char *const filter_binary;
extern const char *const rasterwrite_binary;
