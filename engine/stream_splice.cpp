#include "stream_splice.h"

#include <cstring>

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

// Appends count bits of value behind the unfinished byte; whole bytes go to out.
void stream_splicer::put(std::vector<unsigned char>& out, uint64_t value, int count)
{
    while (count > 0) {
        int take = count < 8 - bits_ ? count : 8 - bits_;
        unsigned piece = static_cast<unsigned>(value >> (count - take)) & ((1u << take) - 1);
        partial_ = static_cast<unsigned char>(partial_ | piece << (8 - bits_ - take));
        bits_ += take;
        count -= take;
        if (bits_ == 8) {
            out.push_back(partial_);
            partial_ = 0;
            bits_ = 0;
        }
    }
}

size_t stream_splicer::append_block(std::vector<unsigned char>& stream, uint64_t end_bit, uint32_t crc)
{
    combined_crc_ = (combined_crc_ << 1 | combined_crc_ >> 31) ^ crc;
    // The first block's own header is the stream's.
    uint64_t first = started_ ? header_bits : 0;
    started_ = true;
    uint64_t whole = (end_bit - first) / 8;
    int rest = static_cast<int>((end_bit - first) % 8);
    uint64_t rest_bits = bits_at(stream, first + whole * 8, rest);
    // Forward in place: each byte is read before its place is written.
    unsigned char* out = stream.data();
    const unsigned char* from = stream.data() + first / 8;
    if (bits_ == 0) {
        memmove(out, from, whole);
    } else {
        int shift = bits_;
        unsigned char carry = partial_;
        for (uint64_t i = 0; i < whole; ++i) {
            unsigned char byte = from[i];
            out[i] = static_cast<unsigned char>(carry | byte >> shift);
            carry = static_cast<unsigned char>(byte << (8 - shift));
        }
        partial_ = carry;
    }
    stream.resize(whole);
    put(stream, rest_bits, rest);
    return stream.size();
}

const std::vector<unsigned char>& stream_splicer::finish()
{
    tail_.clear();
    if (!started_) {
        for (unsigned char c : {'B', 'Z', 'h'})
            tail_.push_back(c);
        tail_.push_back(static_cast<unsigned char>('0' + level_));
        started_ = true;
    }
    put(tail_, end_magic, 48);
    put(tail_, combined_crc_, 32);
    if (bits_ > 0) {
        tail_.push_back(partial_);
        partial_ = 0;
        bits_ = 0;
    }
    return tail_;
}

}  // namespace kelb
