// The bzip2 decompression job on arbitrary bytes: it must end with a result
// code, never crash, hang or read or write out of bounds, and its workers
// must give the code and bytes of the sequential decoding.
#include "fuzz_files.h"
#include "jobs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string source = fuzz::scratch("in.bz2");
    fuzz::same_as_sequential(kelb::decompress_bzip2_file, source, data, size);
    return 0;
}
