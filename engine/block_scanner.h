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

// "BZh", the level digit, the bits [first, end) of the source (a block: its
// magic, its CRC, its code), the end magic with `crc` as the stream's
// combined CRC, zero bits to the byte: made a piece at a time, so that the
// block is never copied whole.
class one_block_stream {
public:
    static constexpr size_t min_room = 16;

    one_block_stream(uint64_t first, uint64_t end, unsigned char level, uint32_t crc)
        : first_(first), end_(end), whole_(static_cast<size_t>((end - first) / 8)), level_(level), crc_(crc)
    {
    }
    // The next bytes into out (room at least min_room); 0 once all are given.
    // source(byte, count, into) copies bytes of the source.
    template <class Source>
    size_t next(unsigned char* out, size_t room, Source&& source)
    {
        size_t at = 0;
        if (stage_ == 0) {
            out[0] = 'B';
            out[1] = 'Z';
            out[2] = 'h';
            out[3] = level_;
            at = 4;
            stage_ = 1;
        }
        if (stage_ == 1) {
            // The source bytes under the next output bytes, and one more when
            // the block does not begin on a byte, shifted into place.
            int shift = static_cast<int>(first_ % 8);
            size_t count = whole_ - given_;
            if (count > room - at - 1)
                count = room - at - 1;
            if (count > 0) {
                source(first_ / 8 + given_, count + (shift ? 1 : 0), out + at);
                if (shift)
                    shift_left(out + at, count, shift);
                at += count;
                given_ += count;
            }
            if (given_ == whole_)
                stage_ = 2;
        }
        if (stage_ == 2 && room - at >= 12) {
            unsigned char odd[2] = {};
            uint64_t odd_bit = first_ + whole_ * 8ULL;
            if (end_ > odd_bit)
                source(odd_bit / 8, static_cast<size_t>((end_ - 1) / 8 - odd_bit / 8 + 1), odd);
            at += trailer(odd, out + at);
            stage_ = 3;
        }
        return at;
    }
    // Every bit of the source it needs has been given.
    bool done() const { return stage_ == 3; }

private:
    // bytes[0, count) shifted left by `shift` bits, bytes[count] filling in.
    static void shift_left(unsigned char* bytes, size_t count, int shift);
    // The odd bits (from odd[0]), the end magic, the CRC, the padding.
    size_t trailer(const unsigned char* odd, unsigned char* out) const;

    uint64_t first_, end_;
    size_t whole_;  // whole bytes of the block
    size_t given_ = 0;
    int stage_ = 0;  // 0 the header, 1 the whole bytes, 2 the trailer, 3 done
    unsigned char level_;
    uint32_t crc_;
};

}  // namespace kelb
