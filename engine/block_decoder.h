// One bzip2 block decoded by our own code, in about two thirds of libbzip2's
// time (a table lookup per symbol where libbzip2 reads codes bit by bit). It
// is strict: whatever it is not sure of (a randomised block, an over-full
// code, anything libbzip2 would refuse) it refuses before giving any output,
// and libbzip2 decides instead. Once it gives output, the bytes are
// libbzip2's, up to the point where both fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace kelb {

class block_decoder {
public:
    // Copies source bytes [byte, byte + count) into out.
    using source = std::function<void(uint64_t byte, size_t count, unsigned char* out)>;

    // Takes in the block at bits [first, end) of the source, its magic first;
    // its last symbol must end right at `end`. `table` has room for level *
    // 100 000 entries. False: refused, and nothing will be given.
    bool read(uint64_t first, uint64_t end, int level, uint32_t* table, const source& from);

    // The block's next bytes into out; 0 once all are given or it failed.
    size_t write(unsigned char* out, size_t room);
    // Every byte given, and their CRC is the one the block stores.
    bool good() const { return state_ == state::good; }

private:
    enum class state { empty, giving, good, bad };
    void finish();

    state state_ = state::empty;
    const uint32_t* tt_ = nullptr;
    uint32_t stored_crc_ = 0;
    uint32_t crc_ = 0;
    uint32_t t_pos_ = 0;
    uint32_t left_ = 0;       // bytes of the block not yet taken from tt_
    uint32_t last_ = 256;     // the byte before, 256 when a run may not go on
    uint32_t run_ = 0;        // how many times last_ came in a row
    uint32_t copies_ = 0;     // repeats of last_ still to give
    unsigned char repeat_ = 0;
};

}  // namespace kelb
