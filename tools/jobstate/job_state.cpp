#include "job_state.h"

#include <cstdio>
#include <cups/cups.h>
#include <unistd.h>

static std::string joined_values(ipp_t *response, const char *name)
{
    std::string text;
    ipp_attribute_t *attr = ippFindAttribute(response, name, IPP_TAG_ZERO);
    for (int i = 0; attr != nullptr && i < ippGetCount(attr); i++) {
        if (!text.empty())
            text += ",";
        const char *value = ippGetString(attr, i, nullptr);
        text += value != nullptr ? value : "";
    }
    return text;
}

job_state job_state_query(int id)
{
    job_state job;
    char uri[HTTP_MAX_URI];
    std::snprintf(uri, sizeof uri, "ipp://localhost/jobs/%d", id);
    ipp_t *request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    static const char *const wanted[] = {"job-state", "job-state-reasons",
                                         "job-printer-state-message"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 3, nullptr,
                  wanted);
    ipp_t *response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
    if (response == nullptr)
        return job;
    ipp_attribute_t *state = ippFindAttribute(response, "job-state", IPP_TAG_ENUM);
    if (state != nullptr)
        job.state = ippEnumString("job-state", ippGetInteger(state, 0));
    job.reasons = joined_values(response, "job-state-reasons");
    job.message = joined_values(response, "job-printer-state-message");
    ippDelete(response);
    return job;
}

bool job_state_is_final(const job_state &job)
{
    return job.state == "completed" || job.state == "canceled" || job.state == "aborted" ||
           job.state == "processing-stopped";
}

job_state job_state_wait(int id, int timeout_ms)
{
    job_state job;
    for (int waited = 0;; waited += 20) {
        job = job_state_query(id);
        if (job_state_is_final(job) || waited >= timeout_ms)
            return job;
        usleep(20 * 1000);
    }
}
