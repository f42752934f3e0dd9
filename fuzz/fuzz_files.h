// The jobs read and write files: each input goes through a scratch file of
// this process's own, on a RAM disk when there is one.
#pragma once

#include "job_pool.h"
#include "parallel_decompress.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include <unistd.h>

namespace fuzz {

inline std::string scratch(const char* name)
{
    const char* dir = getenv("KELB_FUZZ_SCRATCH");
    return std::string(dir ? dir : access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/kelb-fuzz-" +
           std::to_string(getpid()) + "-" + name;
}

// Runs a decompression job on the input on three workers, then sequentially:
// a different code or different bytes is a finding.
inline void same_as_sequential(int32_t (*job)(const char*, const char*), const std::string& source,
                               const uint8_t* data, size_t size)
{
    static const std::string target = scratch("out");
    std::ofstream(source, std::ios::binary).write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    std::pair<int32_t, std::string> outcome[2];
    for (int parallel : {1, 0}) {
        kelb::job_threads_setting.store(3);
        kelb::parallel_decoding.store(parallel == 1);
        outcome[parallel].first = job(source.c_str(), target.c_str());
        std::ifstream in(target, std::ios::binary);
        outcome[parallel].second = in ? std::string(std::istreambuf_iterator<char>(in), {}) : "(none)";
        unlink(target.c_str());
    }
    if (outcome[0] != outcome[1]) {
        fprintf(stderr, "workers gave %d, the sequential decoding %d\n", outcome[1].first, outcome[0].first);
        abort();
    }
}

}  // namespace fuzz
