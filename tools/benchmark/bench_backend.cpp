// The backend's figures: its copy to a port file on tmpfs against dd with
// the same chunk size, data and target.
#include <cstdio>
#include <fcntl.h>
#include <pwd.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "bench.h"

namespace
{

std::string port_path(const bench_setup &setup)
{
    return setup.work + "/velokitlp0";
}

// Each run starts on an empty port file, so no run pays for freeing the last.
// Not one of the maker's ports, so it is lp's: the backend writes it as lp.
void empty_port(const bench_setup &setup)
{
    int fd = open(port_path(setup).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const passwd *lp = getpwnam("lp");
    if (fd < 0 || lp == nullptr || fchown(fd, lp->pw_uid, lp->pw_gid) != 0) {
        std::perror("bench: port file");
        std::exit(1);
    }
    close(fd);
}

command backend(const bench_setup &setup, const std::string &copies, const std::string &file)
{
    command cmd{{setup.build + "/backend/velokitlp", "1", "bench", "bench", copies, ""},
                "velokitlp:" + port_path(setup)};
    if (!file.empty())
        cmd.argv.push_back(file);
    return cmd;
}

command dd(const bench_setup &setup, const std::string &input)
{
    command cmd{{"/bin/dd", "bs=8192", "of=" + port_path(setup), "conv=notrunc", "oflag=append",
                 "status=none"},
                ""};
    if (!input.empty())
        cmd.argv.push_back("if=" + input);
    return cmd;
}

void write_job_file(const std::string &path, std::size_t bytes)
{
    std::vector<char> block(1 << 20);
    for (std::size_t i = 0; i < block.size(); i++)
        block[i] = static_cast<char>(i * 7 + 1);
    FILE *out = std::fopen(path.c_str(), "wb");
    for (std::size_t left = bytes; out != nullptr && left > 0;) {
        std::size_t n = left < block.size() ? left : block.size();
        if (std::fwrite(block.data(), 1, n, out) != n)
            break;
        left -= n;
    }
    if (out == nullptr || std::fclose(out) != 0) {
        std::fprintf(stderr, "bench: cannot write %s\n", path.c_str());
        std::exit(1);
    }
}

std::string mib(std::size_t bytes)
{
    return std::to_string(bytes >> 20) + " MiB";
}

void from_stdin(const bench_setup &setup, std::size_t bytes, std::vector<bench_row> &table)
{
    command source = ideal_loop(setup, "write", std::to_string(bytes));
    paired_times t = time_paired(
        setup.quick ? 1 : 5,
        [&] {
            empty_port(setup);
            return time_pipeline(source, dd(setup, ""));
        },
        [&] {
            empty_port(setup);
            return time_pipeline(source, backend(setup, "1", ""));
        });
    double ratio = median(t.ratios);
    table.push_back({"backend, " + mib(bytes) + " from stdin through a pipe to a tmpfs port file",
                     "dd bs=8192 " + megabytes_per_second(bytes, median(t.baseline)),
                     megabytes_per_second(bytes, median(t.measured)),
                     ratio_text(ratio, "dd", t.baseline, t.measured), ">= 0.95",
                     verdict(ratio >= 0.95)});
}

void from_file(const bench_setup &setup, std::size_t bytes, std::vector<bench_row> &table)
{
    const int copies = 3;
    std::string job = setup.work + "/job.bin";
    write_job_file(job, bytes);
    command copy = backend(setup, std::to_string(copies), job);
    std::vector<double> dd_s, read_s, discarded_s, read_ratios, discarded_ratios;
    for (int r = 0; r < (setup.quick ? 1 : 5); r++) {
        double t[3] = {0, 0, 0};
        for (int i = 0; i < 3; i++) {
            int which = (i + r) % 3;
            empty_port(setup);
            if (which == 0) {
                for (int c = 0; c < copies; c++)
                    t[0] += time_alone(dd(setup, job)).wall;
            } else if (which == 1) {
                // The messages go to a reader, as they go to the scheduler.
                t[1] = time_pipeline(copy, converter_sink(), true);
            } else {
                t[2] = time_alone(copy, true).wall;
            }
        }
        dd_s.push_back(t[0]);
        read_s.push_back(t[1]);
        discarded_s.push_back(t[2]);
        read_ratios.push_back(t[0] / t[1]);
        discarded_ratios.push_back(t[0] / t[2]);
    }
    unlink(job.c_str());
    double total = static_cast<double>(bytes) * copies;
    std::string figure = "backend, " + mib(bytes) + " file, copies 3, " +
                         std::to_string(bytes * copies / 8192) + " progress messages ";
    std::string baseline = "dd bs=8192, 3 passes, " + megabytes_per_second(total, median(dd_s));
    double read = median(read_ratios), discarded = median(discarded_ratios);
    table.push_back({figure + "read from a pipe", baseline,
                     megabytes_per_second(total, median(read_s)),
                     ratio_text(read, "dd", dd_s, read_s), ">= 0.8", verdict(read >= 0.8)});
    table.push_back(
        {figure + "to /dev/null", baseline, megabytes_per_second(total, median(discarded_s)),
         ratio_text(discarded, "dd", dd_s, discarded_s), ">= 0.9", verdict(discarded >= 0.9)});
}

} // namespace

void backend_throughput(const bench_setup &setup, std::vector<bench_row> &table)
{
    progress("backend throughput");
    set_env("VELOKIT_SIM_MODE", "sink");
    std::size_t gib = std::size_t{1} << 30;
    from_stdin(setup, setup.quick ? gib / 256 : gib, table);
    from_file(setup, setup.quick ? gib / 1024 : gib / 4, table);
    unlink(port_path(setup).c_str());
}
