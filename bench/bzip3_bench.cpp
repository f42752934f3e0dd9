// bzip3_bench FILE [LEVEL] [RUNS]
//
// Times the Bzip3 jobs on FILE beside libbzip2's streaming calls alone on
// the same file, with the same 32 KiB reads and writes, and prints each
// one's time and peak memory. Each run happens in a child process of its
// own, so its peak memory is its own; the runs take turns and the best of
// RUNS counts.
//
// The compression job asks libbzip2 for its block-sorting diagnostics
// (verbosity 4); the children send them to /dev/null. libbzip2 alone runs
// both quiet and with the same diagnostics, so that the cost of the
// container (MD5, header, file layer) shows apart from the cost of the
// diagnostics.
#include "bzip3.h"
#include "md5.h"

#include <bzlib.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr size_t chunk = 32768;
char in_buffer[chunk];
char out_buffer[chunk];

bool write_all(int fd, const char* data, size_t count)
{
    while (count > 0) {
        ssize_t n = write(fd, data, count);
        if (n <= 0)
            return false;
        data += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

// libbzip2 alone: the file into one stream, as the job feeds it.
int plain_compress(const char* source, const char* target, int level, int verbosity)
{
    int in = open(source, O_RDONLY), out = open(target, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0)
        return 1;
    bz_stream strm{};
    if (BZ2_bzCompressInit(&strm, level, verbosity, 30) != BZ_OK)
        return 1;
    int action = BZ_RUN, ret = BZ_RUN_OK;
    do {
        ssize_t n = 0;
        if (action == BZ_RUN) {
            n = read(in, in_buffer, chunk);
            if (n < 0)
                return 1;
            if (n == 0)
                action = BZ_FINISH;
        }
        strm.next_in = in_buffer;
        strm.avail_in = static_cast<unsigned>(n);
        do {
            strm.next_out = out_buffer;
            strm.avail_out = chunk;
            ret = BZ2_bzCompress(&strm, action);
            if (!write_all(out, out_buffer, chunk - strm.avail_out))
                return 1;
        } while (ret == BZ_FINISH_OK || (ret == BZ_RUN_OK && strm.avail_in > 0));
    } while (ret != BZ_STREAM_END);
    BZ2_bzCompressEnd(&strm);
    close(in);
    return close(out) == 0 ? 0 : 1;
}

int plain_decompress(const char* source, const char* target)
{
    int in = open(source, O_RDONLY), out = open(target, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0)
        return 1;
    bz_stream strm{};
    if (BZ2_bzDecompressInit(&strm, 0, 0) != BZ_OK)
        return 1;
    int ret = BZ_OK;
    while (ret != BZ_STREAM_END) {
        ssize_t n = read(in, in_buffer, chunk);
        if (n <= 0)
            return 1;
        strm.next_in = in_buffer;
        strm.avail_in = static_cast<unsigned>(n);
        do {
            strm.next_out = out_buffer;
            strm.avail_out = chunk;
            ret = BZ2_bzDecompress(&strm);
            if (ret != BZ_OK && ret != BZ_STREAM_END)
                return 1;
            if (!write_all(out, out_buffer, chunk - strm.avail_out))
                return 1;
        } while (ret == BZ_OK && strm.avail_in > 0);
    }
    BZ2_bzDecompressEnd(&strm);
    close(in);
    return close(out) == 0 ? 0 : 1;
}

int md5_only(const char* source)
{
    int in = open(source, O_RDONLY);
    if (in < 0)
        return 1;
    kelb::md5_context md5;
    kelb::md5_init(&md5);
    ssize_t n;
    while ((n = read(in, in_buffer, chunk)) > 0)
        kelb::md5_update(&md5, in_buffer, static_cast<size_t>(n));
    unsigned char digest[16];
    kelb::md5_final(&md5, digest);
    close(in);
    return 0;
}

struct measure {
    double wall = 1e300, cpu = 1e300;
    long peak_kib = 0;
    bool ok = true;
};

// Runs the action once in a child; keeps the fastest run and the largest peak.
void run(measure& best, const std::function<int()>& action)
{
    {
        auto start = std::chrono::steady_clock::now();
        pid_t child = fork();
        if (child == 0) {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            _exit(action());
        }
        int status = 0;
        rusage usage{};
        wait4(child, &status, 0, &usage);
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                     usage.ru_stime.tv_usec / 1e6;
        best.ok = best.ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (wall < best.wall)
            best.wall = wall;
        if (cpu < best.cpu)
            best.cpu = cpu;
        if (usage.ru_maxrss > best.peak_kib)
            best.peak_kib = usage.ru_maxrss;
    }
}

void print(const char* name, const measure& m)
{
    printf("%-22s %9.3f %9.3f %10ld %s\n", name, m.wall, m.cpu, m.peak_kib, m.ok ? "" : "FAILED");
}

long long size_of(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s FILE [LEVEL 1-9, default 9] [RUNS, default 3]\n", argv[0]);
        return 2;
    }
    const char* file = argv[1];
    int level = argc > 2 ? atoi(argv[2]) : 9;
    int runs = argc > 3 ? atoi(argv[3]) : 3;
    if (level < 1 || level > 9 || runs < 1) {
        fprintf(stderr, "level must be 1 to 9 and runs at least 1\n");
        return 2;
    }
    char dir_template[] = "/tmp/bzip3-bench-XXXXXX";
    if (!mkdtemp(dir_template)) {
        perror("mkdtemp");
        return 1;
    }
    std::string dir = dir_template;
    std::string bz3 = dir + "/out.bz3", bz2 = dir + "/out.bz2";
    std::string restored3 = dir + "/restored3", restored2 = dir + "/restored2";

    // Turn about, so that a machine that gets busier part-way hurts both sides alike.
    measure c3, c2, c2v, d3, d2, md;
    for (int i = 0; i < runs; ++i) {
        run(c3, [&] { return kelb::compress_bzip3_file(file, bz3.c_str(), level) == 0 ? 0 : 1; });
        run(c2, [&] { return plain_compress(file, bz2.c_str(), level, 0); });
        run(c2v, [&] { return plain_compress(file, bz2.c_str(), level, 4); });
        run(d3, [&] { return kelb::decompress_bzip3_file(bz3.c_str(), restored3.c_str()) == 0 ? 0 : 1; });
        run(d2, [&] { return plain_decompress(bz2.c_str(), restored2.c_str()); });
        run(md, [&] { return md5_only(file); });
    }

    printf("file %s, %lld bytes, level %d, best of %d\n", file, size_of(file), level, runs);
    printf("compressed: Bzip3 %lld bytes, bzip2 %lld bytes\n", size_of(bz3), size_of(bz2));
    printf("%-22s %9s %9s %10s\n", "", "wall s", "cpu s", "peak KiB");
    print("Bzip3 compress", c3);
    print("libbzip2 compress", c2);
    print("  same, verbosity 4", c2v);
    print("Bzip3 decompress", d3);
    print("libbzip2 decompress", d2);
    print("MD5 alone", md);
    printf("Bzip3 over libbzip2, cpu time: compress %+.1f %% (%+.1f %% against verbosity 4), "
           "decompress %+.1f %%\n",
           (c3.cpu / c2.cpu - 1) * 100, (c3.cpu / c2v.cpu - 1) * 100, (d3.cpu / d2.cpu - 1) * 100);

    for (const std::string& path : {bz3, bz2, restored3, restored2})
        unlink(path.c_str());
    rmdir(dir.c_str());
    return c3.ok && c2.ok && c2v.ok && d3.ok && d2.ok && md.ok ? 0 : 1;
}
