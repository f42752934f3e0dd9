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
    explicit stream_splicer(int level) : level_(level) {}
    // Turns the block's own stream, in place, into the next bytes of the
    // joined one (the first block brings the stream header along) and returns
    // how many whole bytes are ready at its start; the bits of an unfinished
    // byte stay behind for what follows.
    size_t append_block(std::vector<unsigned char>& stream, uint64_t end_bit, uint32_t crc);
    // The rest of the stream: the header if no block came, the end marker
    // with the combined CRC, zero bits up to a whole byte.
    const std::vector<unsigned char>& finish();

private:
    void put(std::vector<unsigned char>& out, uint64_t value, int count);

    int level_;
    bool started_ = false;
    unsigned char partial_ = 0;  // the unfinished byte's bits, from the top
    int bits_ = 0;
    uint32_t combined_crc_ = 0;
    std::vector<unsigned char> tail_;
};

}  // namespace kelb
