#include "stream_splice.h"

namespace kelb {

namespace {

constexpr uint64_t end_magic = 0x177245385090ull;
constexpr uint64_t header_bits = 32;
constexpr uint64_t block_crc_at = header_bits + 48;

uint64_t bits_at(const std::vector<unsigned char>& bytes, uint64_t first, int count)
{
    uint64_t value = 0;
    for (int i = 0; i < count; ++i) {
        uint64_t bit = first + static_cast<uint64_t>(i);
        value = value << 1 | ((bytes[bit >> 3] >> (7 - (bit & 7))) & 1u);
    }
    return value;
}

}  // namespace

bool find_block(const std::vector<unsigned char>& stream, uint64_t* end_bit, uint32_t* crc)
{
    uint64_t total = stream.size() * 8ull;
    if (total < block_crc_at + 32 + 80)
        return false;
    uint32_t block_crc = static_cast<uint32_t>(bits_at(stream, block_crc_at, 32));
    // One block: the combined CRC is the block's own.
    for (int padding = 0; padding < 8; ++padding) {
        uint64_t at = total - 80 - static_cast<uint64_t>(padding);
        if (bits_at(stream, at, 48) == end_magic && bits_at(stream, at + 48, 32) == block_crc &&
            bits_at(stream, at + 80, padding) == 0) {
            *end_bit = at;
            *crc = block_crc;
            return true;
        }
    }
    return false;
}

stream_splicer::stream_splicer(int level)
{
    bytes_ = {'B', 'Z', 'h', static_cast<unsigned char>('0' + level)};
}

void stream_splicer::put(uint64_t value, int count)
{
    while (count > 0) {
        if (bits_ == 0)
            bytes_.push_back(0);
        int room = 8 - bits_;
        int take = count < room ? count : room;
        unsigned piece = static_cast<unsigned>(value >> (count - take)) & ((1u << take) - 1);
        bytes_.back() = static_cast<unsigned char>(bytes_.back() | piece << (room - take));
        bits_ = (bits_ + take) & 7;
        count -= take;
    }
}

void stream_splicer::append_block(const std::vector<unsigned char>& stream, uint64_t end_bit, uint32_t crc)
{
    combined_crc_ = (combined_crc_ << 1 | combined_crc_ >> 31) ^ crc;
    // The block starts on a byte boundary of its own stream; whole bytes
    // shift in at once.
    uint64_t whole = (end_bit - header_bits) / 8;
    const unsigned char* from = stream.data() + header_bits / 8;
    bytes_.reserve(bytes_.size() + whole + 2);
    if (bits_ == 0) {
        bytes_.insert(bytes_.end(), from, from + whole);
    } else {
        int shift = bits_;
        unsigned char carry = bytes_.back();
        bytes_.pop_back();
        for (uint64_t i = 0; i < whole; ++i) {
            bytes_.push_back(static_cast<unsigned char>(carry | from[i] >> shift));
            carry = static_cast<unsigned char>(from[i] << (8 - shift));
        }
        bytes_.push_back(carry);
    }
    int rest = static_cast<int>((end_bit - header_bits) % 8);
    put(bits_at(stream, header_bits + whole * 8, rest), rest);
}

void stream_splicer::finish()
{
    put(end_magic, 48);
    put(combined_crc_, 32);
    bits_ = 0;  // the rest of the last byte stays zero
}

void stream_splicer::drop_ready()
{
    size_t keep = bits_ ? 1 : 0;
    if (keep)
        bytes_.front() = bytes_.back();
    bytes_.resize(keep);
}

}  // namespace kelb
