#include "block_scanner.h"

#include <cstring>

namespace kelb {

namespace {

constexpr uint64_t mask48 = (1ULL << 48) - 1;

// For each value of the second byte of an 8-byte window, the shifts at which
// a magic could begin in the window's first byte: bits 0-7 the block magic,
// 8-15 the end magic. Whatever the shift, that byte lies wholly inside it.
struct shift_table {
    uint16_t shifts[256] = {};
    shift_table()
    {
        for (int s = 0; s < 8; ++s) {
            shifts[(bzip2_block_magic >> (32 + s)) & 0xFF] |= static_cast<uint16_t>(1u << s);
            shifts[(bzip2_end_magic >> (32 + s)) & 0xFF] |= static_cast<uint16_t>(1u << (8 + s));
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
    size_t i = from;
    uint64_t limit_bit = (base + size) * 8;
    for (; i + 8 <= size; ++i) {
        uint16_t shifts = table.shifts[data[i + 1]];
        if (shifts)
            check_window(load_be64(data + i), shifts, (base + i) * 8, limit_bit, found);
    }
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

void single_block_stream(const unsigned char* data, uint64_t first, uint64_t end, unsigned char level,
                         uint32_t crc, std::vector<unsigned char>& out)
{
    uint64_t bits = end - first;
    size_t whole = static_cast<size_t>(bits / 8);
    out.resize(4 + whole + 12);
    out[0] = 'B';
    out[1] = 'Z';
    out[2] = 'h';
    out[3] = level;
    const unsigned char* src = data + first / 8;
    unsigned char* dst = out.data() + 4;
    int shift = static_cast<int>(first % 8);
    if (shift == 0) {
        memcpy(dst, src, whole);
    } else {
        for (size_t k = 0; k < whole; ++k)
            dst[k] = static_cast<unsigned char>(src[k] << shift | src[k + 1] >> (8 - shift));
    }
    // The odd bits, the end magic and the CRC, then zeros to the byte.
    int odd = static_cast<int>(bits % 8);
    uint64_t acc = odd ? read_bits(data, first + whole * 8ULL, odd) : 0;
    int pending = odd;
    size_t at = 4 + whole;
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
    put(crc, 32);
    if (pending)
        out[at++] = static_cast<unsigned char>(acc << (8 - pending));
    out.resize(at);
}

}  // namespace kelb
