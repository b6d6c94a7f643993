// jobstate ID [TIMEOUT_SECONDS]: prints the job's state and reasons, as
// "STATE REASONS"; with a timeout, first waits for the job to end. Exits 0
// when the job completed, 1 otherwise.
#include <cstdio>
#include <cstdlib>

#include "job_state.h"

int main(int argc, char *argv[])
{
    if (argc != 2 && argc != 3) {
        std::fputs("usage: jobstate ID [TIMEOUT_SECONDS]\n", stderr);
        return 2;
    }
    int id = std::atoi(argv[1]);
    job_state job = argc == 3 ? job_state_wait(id, std::atoi(argv[2]) * 1000) : job_state_query(id);
    std::printf("%s %s\n", job.state.empty() ? "unknown" : job.state.c_str(), job.reasons.c_str());
    return job.state == "completed" ? 0 : 1;
}
