#include "block_decoder.h"

#include <algorithm>
#include <cstring>

namespace kelb {

namespace {

constexpr int max_code_length = 20;
constexpr int fast_bits = 10;  // codes this short are found by one lookup
constexpr int max_groups = 6;
constexpr int max_alphabet = 258;
constexpr int max_selectors = 18002;  // libbzip2 ignores any further ones
constexpr int group_symbols = 50;
constexpr uint32_t max_run_weight = 2 * 1024 * 1024;

struct crc_table {
    uint32_t entries[256];
    crc_table()
    {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i << 24;
            for (int k = 0; k < 8; ++k)
                c = c & 0x80000000u ? c << 1 ^ 0x04c11db7u : c << 1;
            entries[i] = c;
        }
    }
};
const crc_table crc;

// The block's bits, most significant first, read through a buffer of the
// source; past the block's last byte come zeros.
class bit_reader {
public:
    bit_reader(const block_decoder::source& from, uint64_t first, uint64_t end)
        : from_(from), next_(first / 8), last_((end + 7) / 8), pos_(first - first % 8)
    {
        refill();
        skip(static_cast<int>(first % 8));
    }
    // n up to 32.
    uint32_t peek(int n)
    {
        if (have_ < n)
            refill();
        return static_cast<uint32_t>(bits_ >> (64 - n));
    }
    void skip(int n)
    {
        bits_ <<= n;
        have_ -= n;
        pos_ += static_cast<uint64_t>(n);
    }
    uint32_t get(int n)
    {
        uint32_t v = peek(n);
        skip(n);
        return v;
    }
    uint64_t pos() const { return pos_; }

private:
    void refill()
    {
        while (have_ <= 56) {
            if (at_ == size_)
                load();
            bits_ |= static_cast<uint64_t>(buffer_[at_++]) << (56 - have_);
            have_ += 8;
        }
    }
    void load()
    {
        at_ = 0;
        size_ = sizeof buffer_;
        if (next_ >= last_) {
            memset(buffer_, 0, sizeof buffer_);
            return;
        }
        size_ = static_cast<size_t>(std::min<uint64_t>(sizeof buffer_, last_ - next_));
        from_(next_, size_, buffer_);
        next_ += size_;
    }

    const block_decoder::source& from_;
    uint64_t next_, last_;  // the source bytes still to load
    uint64_t pos_;          // the source bit that comes next
    uint64_t bits_ = 0;
    int have_ = 0;
    unsigned char buffer_[16 * 1024];
    size_t at_ = 0, size_ = 0;
};

// A canonical Huffman code as bzip2 assigns it: by length, then by symbol.
struct huffman {
    uint16_t fast[1 << fast_bits];  // length << 9 | symbol; 0 for a longer code
    uint32_t first[max_code_length + 1];
    uint32_t count[max_code_length + 1];
    uint32_t offset[max_code_length + 1];
    uint16_t symbols[max_alphabet];

    // False for an over-full code, which libbzip2 decodes in its own way.
    bool build(const unsigned char* lengths, int alphabet)
    {
        memset(count, 0, sizeof count);
        for (int s = 0; s < alphabet; ++s)
            ++count[lengths[s]];
        int64_t left = 1;
        uint32_t code = 0, seen = 0;
        for (int l = 1; l <= max_code_length; ++l) {
            left = left * 2 - count[l];
            if (left < 0)
                return false;
            first[l] = code;
            offset[l] = seen;
            code = (code + count[l]) << 1;
            seen += count[l];
        }
        uint32_t next[max_code_length + 1];
        memcpy(next, offset, sizeof next);
        for (int s = 0; s < alphabet; ++s)
            symbols[next[lengths[s]]++] = static_cast<uint16_t>(s);
        memset(fast, 0, sizeof fast);
        for (int l = 1; l <= fast_bits; ++l)
            for (uint32_t i = 0; i < count[l]; ++i) {
                uint32_t from = (first[l] + i) << (fast_bits - l);
                uint16_t entry = static_cast<uint16_t>(l << 9 | symbols[offset[l] + i]);
                std::fill(fast + from, fast + from + (1u << (fast_bits - l)), entry);
            }
        return true;
    }
    // A symbol, or -1 for bits that are no code.
    int decode(bit_reader& bits) const
    {
        uint32_t v = bits.peek(max_code_length);
        uint16_t entry = fast[v >> (max_code_length - fast_bits)];
        if (entry) {
            bits.skip(entry >> 9);
            return entry & 511;
        }
        for (int l = fast_bits + 1; l <= max_code_length; ++l) {
            uint32_t i = (v >> (max_code_length - l)) - first[l];
            if (i < count[l]) {
                bits.skip(l);
                return symbols[offset[l] + i];
            }
        }
        return -1;
    }
};

}  // namespace

bool block_decoder::read(uint64_t first, uint64_t end, int level, uint32_t* table, const source& from)
{
    state_ = state::bad;
    bit_reader bits(from, first, end);
    if (bits.get(24) != 0x314159 || bits.get(24) != 0x265359)
        return false;
    stored_crc_ = bits.get(32);
    if (bits.get(1))  // randomised, as only very old encoders wrote
        return false;
    uint32_t orig_ptr = bits.get(24);
    uint32_t block_max = static_cast<uint32_t>(level) * 100000;

    unsigned char values[256];
    int in_use = 0;
    uint32_t sixteens = bits.get(16);
    for (int i = 0; i < 16; ++i)
        if (sixteens & (0x8000u >> i)) {
            uint32_t used = bits.get(16);
            for (int j = 0; j < 16; ++j)
                if (used & (0x8000u >> j))
                    values[in_use++] = static_cast<unsigned char>(i * 16 + j);
        }
    if (in_use == 0)
        return false;
    int alphabet = in_use + 2;
    int groups = static_cast<int>(bits.get(3));
    int selectors = static_cast<int>(bits.get(15));
    if (groups < 2 || groups > max_groups || selectors < 1 || selectors > max_selectors)
        return false;
    unsigned char selector[max_selectors];
    unsigned char order[max_groups] = {0, 1, 2, 3, 4, 5};
    for (int i = 0; i < selectors; ++i) {
        int j = 0;
        while (bits.get(1))
            if (++j >= groups)
                return false;
        unsigned char g = order[j];
        memmove(order + 1, order, static_cast<size_t>(j));
        order[0] = g;
        selector[i] = g;
    }
    huffman codes[max_groups];
    for (int t = 0; t < groups; ++t) {
        unsigned char lengths[max_alphabet];
        int length = static_cast<int>(bits.get(5));
        for (int s = 0; s < alphabet; ++s) {
            for (;;) {
                if (length < 1 || length > max_code_length)
                    return false;
                if (!bits.get(1))
                    break;
                length += bits.get(1) ? -1 : 1;
            }
            lengths[s] = static_cast<unsigned char>(length);
        }
        if (!codes[t].build(lengths, alphabet))
            return false;
    }
    if (bits.pos() > end)
        return false;

    // The symbols: moved-to-front values, and runs of the front one.
    uint32_t counts[256] = {};
    unsigned char front[256];
    memcpy(front, values, static_cast<size_t>(in_use));
    const int end_of_block = in_use + 1;
    uint32_t n = 0, run = 0, weight = 1;
    int group = -1, group_left = 0;
    const huffman* code = nullptr;
    for (;;) {
        if (group_left == 0) {
            if (++group >= selectors || bits.pos() > end)
                return false;
            code = &codes[selector[group]];
            group_left = group_symbols;
        }
        --group_left;
        int symbol = code->decode(bits);
        if (symbol < 0)
            return false;
        if (symbol <= 1) {
            if (weight >= max_run_weight)
                return false;
            run += weight << symbol;
            weight <<= 1;
            continue;
        }
        if (run > 0) {
            if (run > block_max - n)
                return false;
            unsigned char v = front[0];
            counts[v] += run;
            std::fill(table + n, table + n + run, v);
            n += run;
            run = 0;
            weight = 1;
        }
        if (symbol == end_of_block)
            break;
        if (n >= block_max)
            return false;
        int at = symbol - 1;
        unsigned char v = front[at];
        memmove(front + 1, front, static_cast<size_t>(at));
        front[0] = v;
        ++counts[v];
        table[n++] = v;
    }
    if (bits.pos() != end || orig_ptr >= n)
        return false;

    // Undoing the sort: each entry gets the place of the byte that follows it.
    uint32_t next[256];
    for (uint32_t i = 0, sum = 0; i < 256; ++i) {
        next[i] = sum;
        sum += counts[i];
    }
    for (uint32_t i = 0; i < n; ++i)
        table[next[table[i] & 0xff]++] |= i << 8;
    tt_ = table;
    t_pos_ = table[orig_ptr] >> 8;
    left_ = n;
    crc_ = 0xffffffffu;
    last_ = 256;
    run_ = copies_ = 0;
    state_ = state::giving;
    return true;
}

size_t block_decoder::write(unsigned char* out, size_t room)
{
    size_t n = 0;
    while (state_ == state::giving && n < room) {
        if (copies_ > 0) {
            size_t k = std::min<size_t>(copies_, room - n);
            memset(out + n, repeat_, k);
            for (size_t i = 0; i < k; ++i)
                crc_ = crc_ << 8 ^ crc.entries[(crc_ >> 24) ^ repeat_];
            n += k;
            copies_ -= static_cast<uint32_t>(k);
            continue;
        }
        if (left_ == 0) {
            finish();
            break;
        }
        // Four bytes alike are followed by how many more of them there are.
        while (n < room && left_ > 0) {
            uint32_t entry = tt_[t_pos_];
            t_pos_ = entry >> 8;
            uint32_t v = entry & 0xff;
            --left_;
            if (run_ == 4) {
                copies_ = v;
                repeat_ = static_cast<unsigned char>(last_);
                last_ = 256;
                run_ = 0;
                break;
            }
            run_ = v == last_ ? run_ + 1 : 1;
            last_ = v;
            out[n++] = static_cast<unsigned char>(v);
            crc_ = crc_ << 8 ^ crc.entries[(crc_ >> 24) ^ v];
        }
    }
    return n;
}

// A block that ends on four bytes alike lacks their count: libbzip2 fails
// there too.
void block_decoder::finish()
{
    state_ = run_ < 4 && ~crc_ == stored_crc_ ? state::good : state::bad;
}

}  // namespace kelb
