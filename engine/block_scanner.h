// Finding bzip2 blocks in compressed bytes without decoding them: the 48-bit
// block and end-of-stream magics at any bit offset, and a block cut out as a
// stream of its own so that it can be decoded alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelb {

constexpr uint64_t bzip2_block_magic = 0x314159265359ULL;
constexpr uint64_t bzip2_end_magic = 0x177245385090ULL;

struct magic_found {
    uint64_t bit;  // of the source, counted from its first byte
    bool end;      // the end-of-stream magic, else a block's
};

// Looks for magics beginning in data[from, size), data[0] being byte `base`
// of the source; only those whose 48 bits all lie in data count. Without
// `last`, the final 7 bytes are left for the next call, as more data may
// follow. Appends in order and returns the first byte not yet looked at.
size_t find_magics(const unsigned char* data, size_t size, size_t from, uint64_t base, bool last,
                   std::vector<magic_found>& found);

// Up to 32 bits from data, `bit` counted from data[0].
uint32_t read_bits(const unsigned char* data, uint64_t bit, int count);

// "BZh", the level digit, the bits [first, end) of data (a block: its magic,
// its CRC, its code), the end magic with `crc` as the stream's combined CRC,
// zero bits to the byte.
void single_block_stream(const unsigned char* data, uint64_t first, uint64_t end, unsigned char level,
                         uint32_t crc, std::vector<unsigned char>& out);

}  // namespace kelb
