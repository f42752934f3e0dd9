// Cuts input into the blocks libbzip2 makes of it. libbzip2 first codes runs
// of 4 to 255 equal bytes as 4 bytes and a count, and ends a block once that
// coded form reaches 100000 * level - 19 bytes; replaying the rule gives each
// block's input, which compressed alone yields the very same block.
//
// A block is kept in that coded form (at most about 100000 * level bytes,
// however many bytes it stands for) and expanded again while it is compressed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelb {

struct cut_block {
    std::vector<unsigned char> coded;
    uint64_t raw_size = 0;  // the input bytes it stands for
};

class block_cutter {
public:
    explicit block_cutter(int level);

    // Takes input until the block is full or the data ends; returns the
    // bytes taken. A full block must be taken before more can go in.
    size_t feed(const unsigned char* data, size_t size);
    bool full() const { return coded_ >= limit_; }
    // The block so far. A full one leaves its pending run to the next block;
    // otherwise (the end of the input) the run ends the block.
    cut_block take();
    bool empty() const { return raw_ == 0 && run_length_ == 0; }
    // A block's room to use for the next (else feed makes its own).
    bool has_buffer() const { return !block_.empty(); }
    void use_buffer(std::vector<unsigned char> buffer);

private:
    void make_room();
    void close_run();

    size_t limit_;
    std::vector<unsigned char> block_;
    size_t coded_ = 0;
    uint64_t raw_ = 0;  // bytes of the input already coded into this block
    int run_byte_ = -1;
    unsigned run_length_ = 0;
};

// Turns the coded form back into the input, piece by piece.
class block_expander {
public:
    explicit block_expander(const std::vector<unsigned char>& coded) : coded_(coded) {}
    // Up to capacity bytes of input (at least 255, so a run always fits);
    // 0 at the end.
    size_t expand(unsigned char* out, size_t capacity);

private:
    const std::vector<unsigned char>& coded_;
    size_t at_ = 0;
    int last_ = -1;
    int same_ = 0;
};

}  // namespace kelb
