#include "parallel_decompress.h"

#include "block_scanner.h"
#include "job.h"
#include "job_pool.h"

#include <bzlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace kelb {

std::atomic<bool> parallel_decoding{true};

namespace {

// The window of the source is moved up once this much of it is done with.
constexpr size_t drop_size = 256 * 1024;
// A worker hands its output over in pieces of this size, and holds at most
// held_limit of it until its block is next: a block may expand to tens of
// megabytes.
constexpr size_t piece_size = 128 * 1024;
constexpr size_t held_limit = 512 * 1024;
// Longer than any block can be (900 000 symbols of at most 20 bits, and its
// tables): a stretch without a magic this long ends with damage.
constexpr uint64_t max_block_bits = 3ULL * 1024 * 1024 * 8;
// A magic inside compressed data cuts its block short: such a block is
// joined with the next stretch, at most this often.
constexpr int max_joins = 2;
// Items looked ahead: blocks per worker, and stream ends (empty streams).
constexpr size_t blocks_per_worker = 2;
constexpr size_t max_items = 64;
constexpr auto poll = std::chrono::milliseconds(50);

// One block between the writer and a worker; guarded by shared_state::lock
// once submitted, but for the input, which only the worker touches.
struct block_work {
    std::vector<unsigned char> input;  // the block as a stream of its own
    std::deque<std::vector<unsigned char>> pieces;
    size_t held = 0;
    bool finished = false;
    bool decoded = false;    // whole, with its CRC
    bool abandoned = false;  // its output is no longer wanted
};

// What a worker's decoder allocates, kept from one block to the next: the
// same few large buffers each time rather than fresh memory per block.
class decoder_memory {
public:
    ~decoder_memory()
    {
        for (buffer& b : buffers_)
            free(b.data);
    }
    void attach(bz_stream& strm)
    {
        strm.bzalloc = allocate;
        strm.bzfree = release;
        strm.opaque = this;
    }

private:
    struct buffer {
        void* data;
        size_t size;
        bool in_use;
    };
    static void* allocate(void* opaque, int items, int size)
    {
        auto& buffers = static_cast<decoder_memory*>(opaque)->buffers_;
        size_t wanted = static_cast<size_t>(items) * static_cast<size_t>(size);
        for (buffer& b : buffers)
            if (!b.in_use && b.size == wanted) {
                b.in_use = true;
                return b.data;
            }
        // Another block size: what the last one needed goes.
        for (size_t i = buffers.size(); i-- > 0;)
            if (!buffers[i].in_use) {
                free(buffers[i].data);
                buffers.erase(buffers.begin() + static_cast<ptrdiff_t>(i));
            }
        void* data = malloc(wanted);
        if (data)
            buffers.push_back({data, wanted, true});
        return data;
    }
    static void release(void* opaque, void* data)
    {
        for (buffer& b : static_cast<decoder_memory*>(opaque)->buffers_)
            if (b.data == data)
                b.in_use = false;
    }
    std::vector<buffer> buffers_;
};

struct shared_state {
    std::mutex lock;
    std::condition_variable output;  // a worker handed over output, or finished
    std::condition_variable room;    // the writer took output, or work is called off
    bool stopping = false;
    // Kept for reuse, so that the job's memory is the most it ever needs at
    // once, whichever thread needed it.
    std::vector<std::vector<unsigned char>> spare_pieces;
    std::vector<std::unique_ptr<decoder_memory>> spare_memory;

    std::vector<unsigned char> take_piece()
    {
        std::vector<unsigned char> piece;
        {
            std::lock_guard<std::mutex> hold(lock);
            if (!spare_pieces.empty()) {
                piece = std::move(spare_pieces.back());
                spare_pieces.pop_back();
            }
        }
        piece.resize(piece_size);
        return piece;
    }
    void give_back(std::vector<unsigned char>&& piece)
    {
        std::lock_guard<std::mutex> hold(lock);
        spare_pieces.push_back(std::move(piece));
    }
};

void decode_block(block_work& work, shared_state& s)
{
    std::unique_ptr<decoder_memory> memory;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        if (!s.spare_memory.empty()) {
            memory = std::move(s.spare_memory.back());
            s.spare_memory.pop_back();
        }
    }
    if (!memory)
        memory = std::make_unique<decoder_memory>();
    bz_stream strm;
    memset(&strm, 0, sizeof strm);
    memory->attach(strm);
    bool decoded = false;
    if (BZ2_bzDecompressInit(&strm, 0, 0) == BZ_OK) {
        strm.next_in = reinterpret_cast<char*>(work.input.data());
        strm.avail_in = static_cast<unsigned>(work.input.size());
        for (;;) {
            {
                // A paused job holds its workers too, between pieces.
                std::unique_lock<std::mutex> hold(s.lock);
                while (job_paused.load() && !s.stopping && !work.abandoned)
                    s.room.wait_for(hold, poll);
                if (s.stopping || work.abandoned)
                    break;
            }
            std::vector<unsigned char> piece = s.take_piece();
            strm.next_out = reinterpret_cast<char*>(piece.data());
            strm.avail_out = static_cast<unsigned>(piece_size);
            int ret = BZ2_bzDecompress(&strm);
            size_t produced = piece_size - strm.avail_out;
            if (produced > 0) {
                piece.resize(produced);
                std::unique_lock<std::mutex> hold(s.lock);
                while (work.held >= held_limit && !s.stopping && !work.abandoned)
                    s.room.wait(hold);
                if (s.stopping || work.abandoned)
                    break;
                work.held += produced;
                work.pieces.push_back(std::move(piece));
                s.output.notify_all();
            }
            else
                s.give_back(std::move(piece));
            if (ret == BZ_STREAM_END) {
                decoded = true;
                break;
            }
            // Damage, or the bits ran out before the block's end.
            if (ret != BZ_OK || produced == 0)
                break;
        }
        BZ2_bzDecompressEnd(&strm);
    }
    std::vector<unsigned char>().swap(work.input);
    std::lock_guard<std::mutex> hold(s.lock);
    s.spare_memory.push_back(std::move(memory));
    work.finished = true;
    work.decoded = decoded;
    s.output.notify_all();
}

class decoder {
public:
    decoder(const source_reader& read, size_t read_size, uint64_t first, bool one_stream, decode_sink& sink)
        : read_(read), read_size_(read_size), sink_(sink), one_stream_(one_stream), window_base_(first),
          scan_next_(first),
          cursor_(first * 8)
    {
    }
    ~decoder() { shut_down(); }

    parallel_outcome run();

private:
    enum class expect { header, magic, nothing };
    struct stream_info {
        uint64_t start = 0;
        int number = 1;
        unsigned char level = '9';
    };
    struct item {
        enum kind_t { block, stream_end, source_end, anomaly } kind;
        uint64_t bit = 0;  // where it begins
        uint64_t end = 0;  // block: where it ends
        bool end_at_magic = false;
        uint32_t crc = 0;  // block: its own; stream_end: the combined one stored
        int joins = 0;
        stream_info stream;
        std::shared_ptr<block_work> work;
        bool streaming = false;  // its output went out before its CRC was known
    };

    uint64_t window_end_bit() const { return (window_base_ + window_.size()) * 8; }
    bool read_more();
    bool have_bits(uint64_t end_bit);
    size_t candidate_from(uint64_t bit) const;
    bool produce();
    void push(item::kind_t kind);
    void rewind_to(const item& failed);
    void abandon_queue();
    parallel_outcome hand_over(const stream_info& stream);
    parallel_outcome end_with(int how);
    void shut_down();

    const source_reader& read_;
    size_t read_size_;
    decode_sink& sink_;
    bool one_stream_;

    std::vector<unsigned char> window_;  // the source from window_base_ on
    uint64_t window_base_;
    uint64_t scan_next_;  // first byte not yet scanned for magics
    bool at_end_ = false;
    bool read_failed_ = false;
    bool stop_asked_ = false;
    std::deque<magic_found> magics_;
    std::vector<magic_found> found_;

    expect expect_ = expect::header;
    uint64_t cursor_;
    stream_info stream_;
    uint64_t join_past_ = 0;
    int joins_ = 0;

    std::deque<item> queue_;
    size_t blocks_queued_ = 0;
    bool any_stream_ = false;

    shared_state shared_;
    std::unique_ptr<job_pool> pool_;  // after shared_: it goes first
};

bool decoder::read_more()
{
    if (at_end_ || stop_asked_)
        return false;
    // Drop what no item can need again: the head's bits and after stay.
    uint64_t keep_bit = queue_.empty() ? cursor_ : queue_.front().bit;
    uint64_t keep = std::min(keep_bit / 8, scan_next_);
    if (keep > window_base_ && keep - window_base_ >= drop_size) {
        window_.erase(window_.begin(), window_.begin() + static_cast<ptrdiff_t>(keep - window_base_));
        window_base_ = keep;
    }
    while (!magics_.empty() && magics_.front().bit < keep_bit)
        magics_.pop_front();

    size_t old = window_.size();
    window_.resize(old + read_size_);
    bool failed = false;
    size_t n = read_(window_.data() + old, read_size_, &failed);
    window_.resize(old + n);
    // Once per chunk read, as the sequential decoding does: pause holds the
    // reading too, and a source that yields nothing still meets cancel.
    if (job_must_stop()) {
        stop_asked_ = true;
        return false;
    }
    if (n == 0 || failed) {
        at_end_ = true;
        read_failed_ = failed;
    }
    found_.clear();
    size_t next = find_magics(window_.data(), window_.size(), static_cast<size_t>(scan_next_ - window_base_),
                              window_base_, at_end_, found_);
    scan_next_ = window_base_ + next;
    magics_.insert(magics_.end(), found_.begin(), found_.end());
    return n > 0;
}

bool decoder::have_bits(uint64_t end_bit)
{
    while (window_end_bit() < end_bit)
        if (!read_more())
            return false;
    return true;
}

size_t decoder::candidate_from(uint64_t bit) const
{
    return static_cast<size_t>(std::lower_bound(magics_.begin(), magics_.end(), bit,
                                                [](const magic_found& m, uint64_t b) { return m.bit < b; }) -
                               magics_.begin());
}

void decoder::push(item::kind_t kind)
{
    item it;
    it.kind = kind;
    it.bit = cursor_;
    it.stream = stream_;
    queue_.push_back(std::move(it));
    if (kind == item::anomaly || kind == item::source_end)
        expect_ = expect::nothing;
}

// Takes the next step through the source; false when there is none to take.
bool decoder::produce()
{
    if (expect_ == expect::nothing || stop_asked_)
        return false;
    if (expect_ == expect::header) {
        uint64_t at = cursor_ / 8;
        stream_.start = at;
        if (!have_bits(cursor_ + 32)) {
            // Nothing after the last stream ends the source well; anything shorter than a header does not.
            push(window_end_bit() == cursor_ && !read_failed_ ? item::source_end : item::anomaly);
            return true;
        }
        const unsigned char* head = window_.data() + (at - window_base_);
        if (head[0] != 'B' || head[1] != 'Z' || head[2] != 'h' || head[3] < '1' || head[3] > '9') {
            push(item::anomaly);
            return true;
        }
        stream_.level = head[3];
        cursor_ += 32;
        expect_ = expect::magic;
        return true;
    }

    // A magic must begin right here.
    while (scan_next_ <= cursor_ / 8 && read_more()) {
    }
    size_t here = candidate_from(cursor_);
    if (here == magics_.size() || magics_[here].bit != cursor_ || !have_bits(cursor_ + 80)) {
        push(item::anomaly);
        return true;
    }
    const unsigned char* data = window_.data();
    uint64_t base_bit = window_base_ * 8;
    if (magics_[here].end) {
        push(item::stream_end);
        queue_.back().crc = read_bits(data, cursor_ + 48 - base_bit, 32);
        if (one_stream_) {
            push(item::source_end);
        } else {
            cursor_ = (cursor_ + 80 + 7) / 8 * 8;
            ++stream_.number;
            expect_ = expect::header;
        }
        return true;
    }

    // A block: up to the next magic (past the one that cut it short before).
    uint64_t past = std::max(cursor_, join_past_);
    uint64_t end = 0;
    bool at_magic = false;
    for (;;) {
        size_t next = candidate_from(past + 1);
        if (next < magics_.size()) {
            end = magics_[next].bit;
            at_magic = true;
            break;
        }
        if (scan_next_ * 8 > cursor_ + max_block_bits || !read_more()) {
            end = window_end_bit();
            break;
        }
    }
    if (end > cursor_ + max_block_bits) {
        end = cursor_ + max_block_bits;
        at_magic = false;
    }
    data = window_.data();
    base_bit = window_base_ * 8;
    push(item::block);
    item& block = queue_.back();
    block.end = end;
    block.end_at_magic = at_magic;
    block.crc = read_bits(data, cursor_ + 48 - base_bit, 32);
    block.joins = joins_;
    block.work = std::make_shared<block_work>();
    single_block_stream(data, cursor_ - base_bit, end - base_bit, stream_.level, block.crc, block.work->input);
    std::shared_ptr<block_work> work = block.work;
    shared_state* shared = &shared_;
    pool_->submit([work, shared] { decode_block(*work, *shared); });
    ++blocks_queued_;
    cursor_ = end;
    join_past_ = 0;
    joins_ = 0;
    return true;
}

void decoder::abandon_queue()
{
    {
        std::lock_guard<std::mutex> hold(shared_.lock);
        for (item& it : queue_)
            if (it.work)
                it.work->abandoned = true;
    }
    shared_.room.notify_all();
    queue_.clear();
    blocks_queued_ = 0;
}

// Decodes the failed block again up to the magic after the one it ended at,
// and everything after it anew.
void decoder::rewind_to(const item& failed)
{
    cursor_ = failed.bit;
    stream_ = failed.stream;
    join_past_ = failed.end;
    joins_ = failed.joins + 1;
    expect_ = expect::magic;
    abandon_queue();
}

void decoder::shut_down()
{
    {
        std::lock_guard<std::mutex> hold(shared_.lock);
        shared_.stopping = true;
    }
    shared_.room.notify_all();
    pool_.reset();
}

parallel_outcome decoder::end_with(int how)
{
    shut_down();
    parallel_outcome outcome;
    outcome.how = static_cast<decltype(outcome.how)>(how);
    outcome.any_stream = any_stream_;
    return outcome;
}

parallel_outcome decoder::hand_over(const stream_info& stream)
{
    parallel_outcome outcome = end_with(parallel_outcome::handed_over);
    outcome.stream_start = stream.start;
    outcome.stream_number = stream.number;
    return outcome;
}

parallel_outcome decoder::run()
{
    pool_ = std::make_unique<job_pool>(static_cast<unsigned>(job_threads()));
    // Without a worker nothing could decode the blocks.
    if (pool_->threads() == 0)
        return hand_over(stream_);
    size_t block_limit = blocks_per_worker * pool_->threads();
    uint32_t combined = 0;
    for (;;) {
        // At least once per item: a source of empty streams yields no output at all.
        if (job_must_stop())
            return end_with(parallel_outcome::stopped);
        while (queue_.size() < max_items && blocks_queued_ < block_limit && produce()) {
        }
        if (stop_asked_)
            return end_with(parallel_outcome::stopped);
        if (queue_.empty())
            return hand_over(stream_);
        item& head = queue_.front();
        switch (head.kind) {
        case item::source_end:
            return end_with(parallel_outcome::finished);
        case item::anomaly:
            return hand_over(head.stream);
        case item::stream_end:
            if (head.crc != combined)
                return hand_over(head.stream);
            if (!sink_.stream_verified())
                return end_with(parallel_outcome::write_failed);
            any_stream_ = true;
            combined = 0;
            sink_.consumed((head.bit + 80 + 7) / 8);
            queue_.pop_front();
            continue;
        case item::block:
            break;
        }

        block_work& work = *head.work;
        std::unique_lock<std::mutex> hold(shared_.lock);
        auto ready = [&] {
            return work.finished || (!work.pieces.empty() && (head.streaming || work.held >= held_limit));
        };
        if (!shared_.output.wait_for(hold, poll, ready))
            continue;
        if (work.finished && !work.decoded) {
            hold.unlock();
            if (!head.streaming && head.end_at_magic && head.joins < max_joins) {
                item failed = head;
                rewind_to(failed);
                continue;
            }
            return hand_over(head.stream);
        }
        if (!work.pieces.empty()) {
            // A block too large to hold streams out before its CRC is known:
            // the sequential decoding writes the same bytes first.
            if (!work.finished)
                head.streaming = true;
            std::vector<unsigned char> piece = std::move(work.pieces.front());
            work.pieces.pop_front();
            work.held -= piece.size();
            hold.unlock();
            shared_.room.notify_all();
            if (!sink_.write(piece.data(), piece.size()))
                return end_with(parallel_outcome::write_failed);
            shared_.give_back(std::move(piece));
            continue;
        }
        hold.unlock();
        combined = (combined << 1 | combined >> 31) ^ head.crc;
        sink_.consumed(head.end / 8);
        queue_.pop_front();
        --blocks_queued_;
    }
}

}  // namespace

parallel_outcome decompress_in_parallel(const source_reader& read, size_t read_size, uint64_t first,
                                        bool one_stream, decode_sink& sink)
{
    decoder d(read, read_size, first, one_stream, sink);
    return d.run();
}

}  // namespace kelb
