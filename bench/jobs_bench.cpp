// jobs_bench [--runs N] [--level L] [--threads T,...] [--engine LIBRARY] FILE...
//
// Times the four jobs on each FILE beside the bzip2 tool at the same level:
// "compress" and "compressbzip3" beside `bzip2 -L -c`, "decompress" and
// "decompressbzip3" beside `bzip2 -d -c`; each job once per worker count T
// (default: 1 and the processors here), and where lbzip2 is installed, beside
// `lbzip2 -n T` as well. Every run is a process of its own:
// the jobs run in a small host (bench_host, beside this program) that loads
// the engine library and drives it through interface1 as a control does, so
// the wall time and the peak memory (the process's largest resident set) of
// both sides are measured alike. The sides take turns and the best of RUNS
// counts. Prints the figures; fails only when a run fails or a result is
// wrong, never on speed.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifndef KELB_ENGINE_FILE
#define KELB_ENGINE_FILE "libkelbzp1.so"
#endif

namespace {

// --- the measuring side --------------------------------------------------------

struct measure {
    double wall = 1e300;
    double cpu = 1e300;
    long peak_kib = 0;
    bool ok = true;
};

// Runs argv with stdout sent to out_path (when given); keeps the fastest run
// and the largest peak.
void run(measure& best, const std::vector<std::string>& args, const std::string& out_path = "")
{
    auto start = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child == 0) {
        if (!out_path.empty()) {
            int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out < 0 || dup2(out, 1) < 0)
                _exit(127);
            close(out);
        }
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                 usage.ru_stime.tv_usec / 1e6;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "%s %s: exit %d\n", args[0].c_str(), args.size() > 2 ? args[2].c_str() : "",
                WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        best.ok = false;
    }
    best.wall = std::min(best.wall, wall);
    best.cpu = std::min(best.cpu, cpu);
    best.peak_kib = std::max(best.peak_kib, usage.ru_maxrss);
}

long long size_of(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

bool same_bytes(const std::string& a, const std::string& b)
{
    FILE* fa = fopen(a.c_str(), "rb");
    FILE* fb = fopen(b.c_str(), "rb");
    bool same = fa && fb;
    static char ba[1 << 16], bb[1 << 16];
    while (same) {
        size_t na = fread(ba, 1, sizeof ba, fa), nb = fread(bb, 1, sizeof bb, fb);
        same = na == nb && memcmp(ba, bb, na) == 0;
        if (na == 0)
            break;
    }
    if (fa)
        fclose(fa);
    if (fb)
        fclose(fb);
    return same;
}

struct row {
    std::string file;
    const char* job;
    int threads;
    double mib;  // uncompressed size: MB/s is uncompressed bytes either way
    measure ours, tool, lbzip2;
    double target;  // the most time allowed, as a fraction of the tool's
};

void print_row(const row& r)
{
    double ratio = r.ours.wall / r.tool.wall;
    // T workers may take T times the tool's peak and 4 MiB each.
    long allowed = r.threads * (r.tool.peak_kib + 4096);
    bool time_ok = ratio <= r.target, memory_ok = r.ours.peak_kib <= allowed;
    char lbzip2[16] = "-";
    if (r.lbzip2.wall < 1e300)
        snprintf(lbzip2, sizeof lbzip2, "%.3f", r.ours.wall / r.lbzip2.wall);
    printf("| %-16s | %-15s | %7d | %7.2f | %7.2f | %6.3f | %6.3f | %6s | %7ld | %7ld | %s%s\n", r.file.c_str(), r.job,
           r.threads, r.mib / r.ours.wall, r.mib / r.tool.wall, ratio, r.target, lbzip2, r.ours.peak_kib,
           r.tool.peak_kib, time_ok ? "time ok" : "TIME MISSED", memory_ok ? ", memory ok |" : ", MEMORY MISSED |");
}

bool installed(const char* tool)
{
    std::string probe = std::string("command -v ") + tool + " >/dev/null 2>&1";
    return system(probe.c_str()) == 0;
}

int usage(const char* self)
{
    fprintf(stderr, "usage: %s [--runs N] [--level 1-9] [--threads T,...] [--engine LIBRARY] FILE...\n", self);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    int runs = 3, level = 9;
    long processors = sysconf(_SC_NPROCESSORS_ONLN);
    std::vector<int> thread_counts = {1};
    if (processors > 1)
        thread_counts.push_back(static_cast<int>(processors));
    std::string engine = KELB_ENGINE_FILE;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc)
            runs = atoi(argv[++i]);
        else if (a == "--level" && i + 1 < argc)
            level = atoi(argv[++i]);
        else if (a == "--threads" && i + 1 < argc) {
            thread_counts.clear();
            for (char* t = strtok(argv[++i], ","); t; t = strtok(nullptr, ","))
                thread_counts.push_back(atoi(t));
        } else if (a == "--engine" && i + 1 < argc)
            engine = argv[++i];
        else if (a.rfind("--", 0) == 0)
            return usage(argv[0]);
        else
            files.push_back(a);
    }
    bool counts_ok = !thread_counts.empty();
    for (int t : thread_counts)
        counts_ok = counts_ok && t >= 1;
    if (files.empty() || runs < 1 || level < 1 || level > 9 || !counts_ok)
        return usage(argv[0]);

    char dir_template[] = "/tmp/kelb-bench-XXXXXX";
    if (!mkdtemp(dir_template)) {
        perror("mkdtemp");
        return 1;
    }
    std::string dir = dir_template;
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return 1;
    self[n] = 0;
    std::string host = self;
    host = host.substr(0, host.find_last_of('/') + 1) + "bench_host";
    std::string lv = std::to_string(level);
    auto job = [&](const char* command, const std::string& source, const std::string& target, int threads) {
        return std::vector<std::string>{host, engine, command, source, target, lv, std::to_string(threads)};
    };
    const bool have_lbzip2 = installed("lbzip2");

    std::vector<row> rows;
    bool all_ok = true;
    for (const std::string& file : files) {
        std::string name = file.substr(file.find_last_of('/') + 1);
        double mib = size_of(file) / 1e6;
        std::string ours2 = dir + "/ours.bz2", ours3 = dir + "/ours.bz3", tool2 = dir + "/tool.bz2";
        std::string back2 = dir + "/back2", back3 = dir + "/back3", tool_back = dir + "/tool-back";
        measure tool_c, tool_d;
        for (int threads : thread_counts) {
            // The targets: one worker as fast as the tool, more workers a share of its time.
            bool one = threads == 1;
            row c2{name, "compress", threads, mib, {}, {}, {}, one ? 1.05 : 0.56};
            row d2{name, "decompress", threads, mib, {}, {}, {}, one ? 1.05 : 0.53};
            row c3{name, "compressbzip3", threads, mib, {}, {}, {}, one ? 1.08 : 0.60};
            row d3{name, "decompressbzip3", threads, mib, {}, {}, {}, one ? 1.08 : 0.60};
            std::string t = std::to_string(threads);
            // Turn about, so that a machine that gets busier part-way hurts both sides alike.
            for (int i = 0; i < runs; ++i) {
                run(tool_c, {"bzip2", "-" + lv, "-c", file}, tool2);
                run(c2.ours, job("compress", file, ours2, threads));
                run(c3.ours, job("compressbzip3", file, ours3, threads));
                run(tool_d, {"bzip2", "-d", "-c", tool2}, tool_back);
                run(d2.ours, job("decompress", tool2, back2, threads));
                run(d3.ours, job("decompressbzip3", ours3, back3, threads));
                if (have_lbzip2) {
                    run(c2.lbzip2, {"lbzip2", "-n", t, "-" + lv, "-c", file}, dir + "/lbzip2.bz2");
                    run(d2.lbzip2, {"lbzip2", "-n", t, "-d", "-c", tool2}, tool_back);
                }
            }
            // The bzip2 tool's best stands beside every job of its direction.
            c2.tool = c3.tool = tool_c;
            d2.tool = d3.tool = tool_d;
            c3.lbzip2 = c2.lbzip2;
            d3.lbzip2 = d2.lbzip2;
            if (!same_bytes(ours2, tool2)) {
                fprintf(stderr, "%s: the compress job's stream (%d workers) differs from the tool's\n", name.c_str(),
                        threads);
                c2.ours.ok = false;
            }
            if (!same_bytes(back2, file) || !same_bytes(tool_back, file)) {
                fprintf(stderr, "%s: a bzip2 restore (%d workers) differs from the original\n", name.c_str(), threads);
                d2.ours.ok = false;
            }
            if (!same_bytes(back3, file)) {
                fprintf(stderr, "%s: the Bzip3 restore (%d workers) differs from the original\n", name.c_str(), threads);
                d3.ours.ok = false;
            }
            for (row* r : {&c2, &d2, &c3, &d3}) {
                all_ok = all_ok && r->ours.ok && r->tool.ok;
                rows.push_back(*r);
            }
        }
        printf("%s: %lld bytes; bzip2 %lld bytes, Bzip3 %lld bytes\n", name.c_str(), size_of(file),
               size_of(tool2), size_of(ours3));
        fflush(stdout);
        for (const std::string& p : {ours2, ours3, tool2, back2, back3, tool_back, dir + "/lbzip2.bz2"})
            unlink(p.c_str());
    }
    rmdir(dir.c_str());

    printf("\nlevel %d, best of %d runs; MB/s counts uncompressed bytes (10^6) per second of wall time; ratio is\n"
           "our time over the bzip2 tool's, lbzip2 our time over `lbzip2 -n T`'s (%s)\n\n",
           level, runs, have_lbzip2 ? "same worker count" : "not installed");
    printf("| %-16s | %-15s | %7s | %7s | %7s | %6s | %6s | %6s | %7s | %7s | %s\n", "file", "job", "workers", "MB/s",
           "tool", "ratio", "target", "lbzip2", "KiB", "tool", "targets |");
    printf("|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|\n", std::string(18, '-').c_str(), std::string(17, '-').c_str(),
           std::string(9, '-').c_str(), std::string(9, '-').c_str(), std::string(9, '-').c_str(),
           std::string(8, '-').c_str(), std::string(8, '-').c_str(), std::string(8, '-').c_str(),
           std::string(9, '-').c_str(), std::string(9, '-').c_str(), std::string(27, '-').c_str());
    for (const row& r : rows)
        print_row(r);
    return all_ok ? 0 : 1;
}
