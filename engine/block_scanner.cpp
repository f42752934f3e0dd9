#include "block_scanner.h"

#include <cstring>

namespace kelb {

namespace {

constexpr uint64_t mask48 = (1ULL << 48) - 1;

// For each value of the second byte of an 8-byte window, the shifts at which
// a magic could begin in the window's first byte: bits 0-7 the block magic,
// 8-15 the end magic. Whatever the shift, that byte lies wholly inside it.
//
// And the pairs of bytes a magic holds whole at some shift, one bit per
// value of the pair: a magic spans at least five whole bytes, so among them
// lies a pair at every fourth byte, and only the few windows around a pair
// found there need a closer look.
struct shift_table {
    uint16_t shifts[256] = {};
    uint64_t pairs[65536 / 64] = {};
    shift_table()
    {
        for (uint64_t magic : {bzip2_block_magic, bzip2_end_magic}) {
            for (int s = 0; s < 8; ++s) {
                bool end = magic == bzip2_end_magic;
                shifts[(magic >> (32 + s)) & 0xFF] |= static_cast<uint16_t>(1u << (s + (end ? 8 : 0)));
                uint64_t w = magic << (16 - s);
                for (int k = s ? 1 : 0; k <= 4; ++k) {
                    unsigned pair = static_cast<unsigned>(w >> (48 - 8 * k)) & 0xFFFF;
                    pairs[pair / 64] |= 1ULL << (pair % 64);
                }
            }
        }
    }
};
const shift_table table;

uint64_t load_be64(const unsigned char* p)
{
    uint64_t w = 0;
    for (int i = 0; i < 8; ++i)
        w = w << 8 | p[i];
    return w;
}

void check_window(uint64_t w, uint16_t shifts, uint64_t bit, uint64_t limit_bit, std::vector<magic_found>& found)
{
    for (int s = 0; s < 8; ++s) {
        if (!(shifts & (0x101u << s)) || bit + s + 48 > limit_bit)
            continue;
        uint64_t value = (w >> (16 - s)) & mask48;
        if (value == bzip2_block_magic)
            found.push_back({bit + s, false});
        else if (value == bzip2_end_magic)
            found.push_back({bit + s, true});
    }
}

}  // namespace

size_t find_magics(const unsigned char* data, size_t size, size_t from, uint64_t base, bool last,
                   std::vector<magic_found>& found)
{
    uint64_t limit_bit = (base + size) * 8;
    // Windows beginning in [from, stop) lie wholly in data.
    size_t stop = size >= 8 && from < size - 7 ? size - 7 : from;
    size_t next = from;  // the first window not yet looked at
    for (size_t p = from; stop > from && p < stop + 4; p += 4) {
        unsigned pair = static_cast<unsigned>(data[p]) << 8 | data[p + 1];
        if (!(table.pairs[pair / 64] >> (pair % 64) & 1))
            continue;
        size_t i = p >= next + 4 ? p - 4 : next;
        size_t until = p < stop ? p + 1 : stop;
        for (; i < until; ++i) {
            uint16_t shifts = table.shifts[data[i + 1]];
            if (shifts)
                check_window(load_be64(data + i), shifts, (base + i) * 8, limit_bit, found);
        }
        next = until;
    }
    size_t i = stop;
    if (!last)
        return i;
    // The tail, with zeros past the end; a magic must still fit in the data.
    for (; i + 1 < size; ++i) {
        uint16_t shifts = table.shifts[data[i + 1]];
        if (!shifts)
            continue;
        unsigned char padded[8] = {};
        memcpy(padded, data + i, size - i);
        check_window(load_be64(padded), shifts, (base + i) * 8, limit_bit, found);
    }
    return size;
}

uint32_t read_bits(const unsigned char* data, uint64_t bit, int count)
{
    uint64_t value = 0;
    int have = 0;
    uint64_t byte = bit / 8;
    int skip = static_cast<int>(bit % 8);
    while (have < count + skip) {
        value = value << 8 | data[byte++];
        have += 8;
    }
    value >>= have - count - skip;
    return static_cast<uint32_t>(value & ((1ULL << count) - 1));
}

void one_block_stream::shift_left(unsigned char* bytes, size_t count, int shift)
{
    // Eight bytes at a time where nine can be read.
    size_t k = 0;
    for (; k + 8 < count + 1; k += 8) {
        uint64_t w = load_be64(bytes + k);
        w = w << shift | bytes[k + 8] >> (8 - shift);
        for (int j = 7; j >= 0; --j, w >>= 8)
            bytes[k + j] = static_cast<unsigned char>(w);
    }
    for (; k < count; ++k)
        bytes[k] = static_cast<unsigned char>(bytes[k] << shift | bytes[k + 1] >> (8 - shift));
}

size_t one_block_stream::trailer(const unsigned char* odd, unsigned char* out) const
{
    int odd_count = static_cast<int>((end_ - first_) % 8);
    uint64_t acc = odd_count ? read_bits(odd, (first_ + whole_ * 8ULL) % 8, odd_count) : 0;
    int pending = odd_count;
    size_t at = 0;
    auto put = [&](uint64_t value, int count) {
        acc = acc << count | value;
        pending += count;
        while (pending >= 8) {
            out[at++] = static_cast<unsigned char>(acc >> (pending - 8));
            pending -= 8;
        }
        acc &= (1ULL << pending) - 1;
    };
    put(bzip2_end_magic >> 24, 24);
    put(bzip2_end_magic & 0xFFFFFF, 24);
    put(crc_, 32);
    if (pending)
        out[at++] = static_cast<unsigned char>(acc << (8 - pending));
    return at;
}

}  // namespace kelb
