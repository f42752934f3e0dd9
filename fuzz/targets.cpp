// The three fuzz targets, one per FUZZ_ macro. The header reader: any 40 bytes decode and encode back
// to themselves. A decompression job on arbitrary bytes must end with a code, never crash or hang, and
// give the same code and bytes on three workers as sequentially; for Bzip3 an even first byte puts a
// valid magic in front, so that the fuzzer gets past the header check.
#include "bzip3_header.h"
#include "job_pool.h"
#include "jobs.h"
#include "parallel_decompress.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
#ifdef FUZZ_HEADER
    if (size < kelb::bzip3_header_size)
        return 0;
    kelb::bzip3_header header;
    kelb::decode_bzip3_header(data, &header);
    unsigned char again[kelb::bzip3_header_size];
    kelb::encode_bzip3_header(header, again);
    if (kelb::has_bzip3_magic(header) != (memcmp(data, "KELB", 4) == 0) || memcmp(again, data, sizeof again) != 0)
        abort();
    return 0;
#endif
    // Each input goes through scratch files of this process's own.
    static const char* dir = getenv("KELB_FUZZ_SCRATCH");
    static const std::string source = std::string(dir ? dir : "/tmp") + "/kelb-fuzz-" + std::to_string(getpid());
    static const std::string target = source + "-out";
    std::string bytes(reinterpret_cast<const char*>(data), size);
#ifdef FUZZ_BZIP3
    if (size >= 4 && (data[0] & 1) == 0)
        memcpy(&bytes[0], kelb::bzip3_magic, 4);
    auto job = kelb::decompress_bzip3_file;
#else
    auto job = kelb::decompress_bzip2_file;
#endif
    std::ofstream(source, std::ios::binary) << bytes;
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
    return 0;
}
