// The jobs read and write files: each input goes through a scratch file of
// this process's own, on a RAM disk when there is one.
#pragma once

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

}  // namespace fuzz
