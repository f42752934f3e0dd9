#include "block_cutter.h"

#include <algorithm>
#include <cstring>

namespace kelb {

namespace {

// Room past the limit for the run that fills the block.
constexpr size_t slack = 16;

// One run into the coded form at out: up to 3 bytes as they are, or 4 and
// the count of the rest. out has room for 5.
inline size_t put_run(unsigned char* out, unsigned char byte, unsigned length)
{
    out[0] = out[1] = out[2] = byte;
    if (length < 4)
        return length;
    out[3] = byte;
    out[4] = static_cast<unsigned char>(length - 4);
    return 5;
}

// Where the first run of four equal bytes begins in p[0..n), or, without
// one, a place near the end (at most 3 before it) before which none begins.
// Input before such a run is coded as it stands. Eight places at a time on
// the usual machines, where most input has few runs.
inline size_t before_run_of_four(const unsigned char* p, size_t n)
{
    size_t j = 0;
#if defined(__GNUC__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    const uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    for (; j + 11 <= n; j += 8) {
        uint64_t x[4];
        memcpy(x, p + j, 8);
        memcpy(x + 1, p + j + 1, 8);
        memcpy(x + 2, p + j + 2, 8);
        memcpy(x + 3, p + j + 3, 8);
        uint64_t differ = (x[0] ^ x[1]) | (x[1] ^ x[2]) | (x[2] ^ x[3]);  // zero where four are equal
        uint64_t zero = (differ - ones) & ~differ & highs;
        if (zero)
            return j + static_cast<size_t>(__builtin_ctzll(zero) >> 3);
    }
#endif
    for (; j + 3 < n; ++j) {
        if (p[j] == p[j + 1] && p[j] == p[j + 2] && p[j] == p[j + 3])
            return j;
    }
    return j;
}

}  // namespace

block_cutter::block_cutter(int level) : limit_(100000u * static_cast<unsigned>(level) - 19) {}

void block_cutter::make_room()
{
    if (block_.size() != limit_ + slack)
        block_.resize(limit_ + slack);
}

void block_cutter::use_buffer(std::vector<unsigned char> buffer)
{
    block_.swap(buffer);
    make_room();
}

void block_cutter::close_run()
{
    make_room();
    coded_ += put_run(block_.data() + coded_, static_cast<unsigned char>(run_byte_), run_length_);
    raw_ += run_length_;
}

size_t block_cutter::feed(const unsigned char* data, size_t size)
{
    make_room();
    // Locals: stores through the byte pointer would make the compiler reload
    // every member after each one.
    unsigned char* out = block_.data();
    size_t coded = coded_;
    const size_t limit = limit_;
    uint64_t raw = raw_;
    int run_byte = run_byte_;
    unsigned run_length = run_length_;
    size_t i = 0;
    while (i < size && coded < limit) {
        int byte = data[i++];
        if (byte == run_byte && run_length < 255) {
            ++run_length;
            continue;
        }
        if (run_length > 0) {
            coded += put_run(out + coded, static_cast<unsigned char>(run_byte), run_length);
            raw += run_length;
        }
        run_byte = byte;
        run_length = 1;
        // Up to the next run of four, runs are coded as they stand: copy
        // them at once, as far as the block has room. The copy ends where a
        // run begins, as the byte by byte coding would have it.
        size_t start = i - 1, end = start + before_run_of_four(data + start, size - start);
        while (end > start && data[end] == data[end - 1])
            --end;
        if (end > start + 1 && coded < limit) {
            size_t full = start + (limit - coded);
            if (full < end) {
                end = full;
                while (data[end] == data[end - 1])
                    ++end;
            }
            memcpy(out + coded, data + start, end - start);
            coded += end - start;
            raw += end - start;
            run_byte = data[end];
            i = end + 1;
        }
    }
    coded_ = coded;
    raw_ = raw;
    run_byte_ = run_byte;
    run_length_ = run_length;
    return i;
}

cut_block block_cutter::take()
{
    // A full block leaves the run it was filled by to the next one; at the
    // end of the input the run closes the block.
    bool carry = full();
    if (!carry && run_length_ > 0)
        close_run();
    cut_block block;
    block_.resize(coded_);
    block.coded.swap(block_);
    block.raw_size = raw_;
    coded_ = 0;
    raw_ = 0;
    if (!carry) {
        run_byte_ = -1;
        run_length_ = 0;
    }
    return block;
}

size_t block_expander::expand(unsigned char* out, size_t capacity)
{
    const unsigned char* coded = coded_.data();
    size_t at = at_, end = coded_.size(), n = 0;
    int last = last_, same = same_;
    while (at < end && n + 255 <= capacity) {
        unsigned char byte = coded[at++];
        if (same == 4) {
            memset(out + n, last, byte);
            n += byte;
            same = 0;
            continue;
        }
        if (byte != last && n + 256 < capacity) {
            // Before the next four equal bytes there is no count: copy.
            size_t start = at - 1;
            size_t take = std::min(before_run_of_four(coded + start, end - start), capacity - 255 - n);
            if (take > 1) {
                memcpy(out + n, coded + start, take);
                n += take;
                at = start + take;
                last = coded[at - 1];
                for (same = 1; same < 3 && start + same < at && coded[at - 1 - same] == last; ++same) {
                }
                continue;
            }
        }
        out[n++] = byte;
        same = byte == last ? same + 1 : 1;
        last = byte;
    }
    at_ = at;
    last_ = last;
    same_ = same;
    return n;
}

}  // namespace kelb
