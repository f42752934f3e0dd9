// The jobs read and write files: each input goes through a scratch file of
// this process's own, on a RAM disk when there is one.
#pragma once

#include "job_pool.h"
#include "parallel_decompress.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

namespace fuzz {

inline std::string scratch(const char* name)
{
    const char* dir = getenv("KELB_FUZZ_SCRATCH");
    std::string base = dir ? dir : (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    return base + "/kelb-fuzz-" + std::to_string(getpid()) + "-" + name;
}

inline void write_all(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* file = fopen(path.c_str(), "wb");
    if (!file)
        abort();
    if (size > 0 && fwrite(data, 1, size, file) != size)
        abort();
    fclose(file);
}

inline std::string read_all(const std::string& path)
{
    std::string bytes;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file)
        return "(none)";
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.append(buffer, n);
    fclose(file);
    return bytes;
}

// Runs a decompression job on three workers, then sequentially: a different
// code or different bytes is a finding.
inline void same_as_sequential(int32_t (*job)(const char*, const char*), const std::string& source,
                               const std::string& target)
{
    kelb::job_threads_setting.store(3);
    kelb::parallel_decoding.store(true);
    int32_t code = job(source.c_str(), target.c_str());
    std::string bytes = read_all(target);
    unlink(target.c_str());
    kelb::parallel_decoding.store(false);
    int32_t expected = job(source.c_str(), target.c_str());
    bool same = code == expected && bytes == read_all(target);
    unlink(target.c_str());
    if (!same) {
        fprintf(stderr, "workers gave %d, the sequential decoding %d\n", code, expected);
        abort();
    }
}

}  // namespace fuzz
