// Joins separately compressed blocks into one bzip2 stream. Blocks are not
// byte-aligned, so each is taken out of its own one-block stream bit by bit
// and appended behind the ones before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelb {

// The block inside a one-block stream: bits [32, end_bit) of it, with its CRC.
// False when the stream does not end as one that holds a single block.
bool find_block(const std::vector<unsigned char>& stream, uint64_t* end_bit, uint32_t* crc);

class stream_splicer {
public:
    explicit stream_splicer(int level);  // starts with the stream header
    void append_block(const std::vector<unsigned char>& stream, uint64_t end_bit, uint32_t crc);
    // The end marker with the combined CRC, padded to a whole byte.
    void finish();
    // The whole bytes so far; the bits of an unfinished byte stay behind.
    const unsigned char* ready() const { return bytes_.data(); }
    size_t ready_size() const { return bytes_.size() - (bits_ ? 1 : 0); }
    void drop_ready();

private:
    void put(uint64_t value, int count);

    std::vector<unsigned char> bytes_;
    int bits_ = 0;  // used bits of the last byte, 0 when it is whole
    uint32_t combined_crc_ = 0;
};

}  // namespace kelb
