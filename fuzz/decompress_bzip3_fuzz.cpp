// The Bzip3 decompression job on arbitrary bytes, on several workers and
// sequentially, with the same outcome. An even first byte puts a valid magic
// in front, so that the fuzzer spends its time past the header check.
#include "bzip3_header.h"
#include "fuzz_files.h"
#include "jobs.h"

#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string source = fuzz::scratch("in.bz3");
    std::vector<uint8_t> bytes(data, data + size);
    if (size >= 4 && (data[0] & 1) == 0)
        memcpy(bytes.data(), kelb::bzip3_magic, 4);
    fuzz::same_as_sequential(kelb::decompress_bzip3_file, source, bytes.data(), bytes.size());
    return 0;
}
