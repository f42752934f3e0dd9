// The 40-byte head of a Bzip3 file; one bzip2 stream follows it.
//
//   offset  size  field
//        0     4  magic "KELB"
//        4    16  MD5 of the uncompressed bytes, as RFC 1321 prints it
//       20     4  the source's attribute bits, little-endian
//       24     8  creation time (FILETIME), little-endian
//       32     8  last-write time (FILETIME), little-endian
//
// The bytes on disk are always built and read field by field, never by
// copying the record, so the layout is the same on every compiler and CPU.
#pragma once

#include <cstdint>
#include <cstring>

namespace kelb {

constexpr uint32_t bzip3_header_size = 40;
constexpr char bzip3_magic[4] = {'K', 'E', 'L', 'B'};

struct bzip3_header {
    char magic[4];
    unsigned char digest[16];
    uint32_t attributes;
    uint64_t creation_time;
    uint64_t last_write_time;
};

namespace header_bytes {

inline void put_le(unsigned char* out, uint64_t value, int size)
{
    for (int i = 0; i < size; ++i)
        out[i] = static_cast<unsigned char>(value >> (8 * i));
}

inline uint64_t get_le(const unsigned char* in, int size)
{
    uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = value << 8 | in[i];
    return value;
}

}  // namespace header_bytes

inline void encode_bzip3_header(const bzip3_header& header, unsigned char out[bzip3_header_size])
{
    memcpy(out, header.magic, 4);
    memcpy(out + 4, header.digest, 16);
    header_bytes::put_le(out + 20, header.attributes, 4);
    header_bytes::put_le(out + 24, header.creation_time, 8);
    header_bytes::put_le(out + 32, header.last_write_time, 8);
}

inline void decode_bzip3_header(const unsigned char in[bzip3_header_size], bzip3_header* header)
{
    memcpy(header->magic, in, 4);
    memcpy(header->digest, in + 4, 16);
    header->attributes = static_cast<uint32_t>(header_bytes::get_le(in + 20, 4));
    header->creation_time = header_bytes::get_le(in + 24, 8);
    header->last_write_time = header_bytes::get_le(in + 32, 8);
}

inline bool has_bzip3_magic(const bzip3_header& header)
{
    return memcmp(header.magic, bzip3_magic, 4) == 0;
}

}  // namespace kelb
