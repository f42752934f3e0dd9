// The header reader: any 40 bytes decode, and encoding what was read gives
// the same 40 bytes back (no field lost, none overlapping another).
#include "bzip3_header.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < kelb::bzip3_header_size)
        return 0;
    kelb::bzip3_header header;
    kelb::decode_bzip3_header(data, &header);
    unsigned char again[kelb::bzip3_header_size];
    kelb::encode_bzip3_header(header, again);
    if (kelb::has_bzip3_magic(header) != (memcmp(data, "KELB", 4) == 0) || memcmp(again, data, sizeof again) != 0)
        abort();
    return 0;
}
