// The Bzip3 decompression job on arbitrary bytes, on several workers and
// sequentially, with the same outcome. Most inputs get a valid magic so that
// the fuzzer spends its time past the header check.
#include "bzip3_header.h"
#include "fuzz_files.h"
#include "jobs.h"

#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string source = fuzz::scratch("in.bz3");
    static const std::string target = fuzz::scratch("out");
    std::vector<uint8_t> bytes(data, data + size);
    // The first byte chooses: odd leaves the input as it is.
    if (size > 0 && (data[0] & 1) == 0 && size >= 4)
        memcpy(bytes.data(), kelb::bzip3_magic, 4);
    fuzz::write_all(source, bytes.data(), bytes.size());
    fuzz::same_as_sequential(kelb::decompress_bzip3_file, source, target);
    return 0;
}
