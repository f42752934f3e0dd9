#include "parallel_decompress.h"

#include "block_decoder.h"
#include "block_scanner.h"
#include "job.h"
#include "job_pool.h"

#include <bzlib.h>

#ifdef __linux__
#include <sys/mman.h>
#endif

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

// The source is held in chunks of about this size, which the workers read
// their blocks from.
constexpr size_t chunk_size = 64 * 1024;
// The reader does not read past this much of the source held per worker
// while a block handed out still needs its bits: an incompressible block is
// about 900 KB.
constexpr size_t held_source_per_worker = 1024 * 1024 + 128 * 1024;
// The block stream is given to the decoder this much at a time.
constexpr size_t feed_size = 32 * 1024;
// A worker hands its output over in pieces of this size. The next block's
// output is held until its CRC is known, or until there is held_limit of it:
// a block may expand to tens of megabytes. A block further on holds up to
// ahead_limit, which an ordinary block's output fits in, so that its worker
// can go on to the next one rather than wait.
constexpr size_t piece_size = 128 * 1024;
constexpr size_t held_limit = 512 * 1024;
constexpr size_t ahead_limit = 1024 * 1024;
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

// A stretch of the source, never moved once read: workers read their
// blocks from it while the reader goes on.
struct chunk {
    explicit chunk(size_t capacity) : bytes(capacity) {}
    std::vector<unsigned char> bytes;
    uint64_t base = 0;  // its first byte in the source
    size_t size = 0;    // bytes read into it
};
using chunk_ptr = std::shared_ptr<chunk>;

// Copies source bytes [byte, byte + count) out of chunks, which hold them in
// order; `at` is where to begin looking and is left at the last chunk used.
// Only the chunks' bases are looked at: the reader goes on filling the last.
template <class Chunks>
void copy_source(const Chunks& chunks, size_t& at, uint64_t byte, size_t count, unsigned char* out)
{
    while (count > 0) {
        while (at + 1 < chunks.size() && byte >= chunks[at + 1]->base)
            ++at;
        const chunk& c = *chunks[at];
        size_t n = count;
        if (at + 1 < chunks.size())
            n = static_cast<size_t>(std::min<uint64_t>(count, chunks[at + 1]->base - byte));
        memcpy(out, c.bytes.data() + (byte - c.base), n);
        out += n;
        byte += n;
        count -= n;
    }
}

// One block between the writer and a worker; guarded by shared_state::lock
// once submitted, but for the input, which only the worker touches.
struct block_work {
    // The chunks holding the block, which the worker lets go of once the
    // decoder has taken in every bit.
    std::vector<chunk_ptr> chunks;
    uint64_t first = 0, end = 0;  // its bits
    unsigned char level = '9';
    uint32_t crc = 0;
    std::deque<std::vector<unsigned char>> pieces;
    size_t held = 0;
    bool released = false;  // its bits are no longer needed to decode it
    bool finished = false;
    // Its output came from its own bits only: our decoder takes a block only
    // if its last symbol ends right at the magic after it. libbzip2, given
    // the block alone, may read on into the bits put there in place of the
    // source's, and so give bytes the sequential decoding would not.
    bool own_bits = false;
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
    std::vector<unsigned char> feed = std::vector<unsigned char>(feed_size);

    // The decoder reads its largest table in no order at all: on large
    // pages its lookups miss the address cache far less often. Rounded up to
    // whole large pages only with more than one worker: the table then takes
    // some more memory, which one worker's share does not allow.
    bool whole_large_pages = false;

    // Our own decoder's table: the same size as libbzip2's largest, so that
    // one buffer serves both.
    uint32_t* table(int level) { return static_cast<uint32_t*>(allocate(this, level * 100000 * 4, 1)); }
    void give_back(uint32_t* table) { release(this, table); }

private:
    void* allocate_large(size_t size) const
    {
#ifdef __linux__
        constexpr size_t large_page = 2 * 1024 * 1024;
        if (size >= large_page) {
            size_t rounded = whole_large_pages ? (size + large_page - 1) / large_page * large_page : size;
            void* data = nullptr;
            if (posix_memalign(&data, large_page, rounded) != 0)
                return nullptr;
            madvise(data, rounded / large_page * large_page, MADV_HUGEPAGE);
            return data;
        }
#endif
        return malloc(size);
    }
    struct buffer {
        void* data;
        size_t size;
        bool in_use;
    };
    static void* allocate(void* opaque, int items, int size)
    {
        auto& memory = *static_cast<decoder_memory*>(opaque);
        auto& buffers = memory.buffers_;
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
        void* data = memory.allocate_large(wanted);
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
    uint64_t releases = 0;  // blocks whose bits were let go of
    bool whole_large_pages = false;

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

// Waits while the job is paused; false once the block's output is not wanted.
bool may_go_on(block_work& work, shared_state& s)
{
    std::unique_lock<std::mutex> hold(s.lock);
    while (job_paused.load() && !s.stopping && !work.abandoned)
        s.room.wait_for(hold, poll);
    return !s.stopping && !work.abandoned;
}

// The decoder has taken in every bit of the block: the reader may drop them
// and read on.
void release_bits(block_work& work, shared_state& s)
{
    work.chunks.clear();
    std::lock_guard<std::mutex> hold(s.lock);
    work.released = true;
    ++s.releases;
}

// Hands the first `produced` bytes of piece to the writer; false once the
// block's output is not wanted.
bool hand_over_piece(block_work& work, shared_state& s, std::vector<unsigned char>& piece, size_t produced)
{
    piece.resize(produced);
    std::unique_lock<std::mutex> hold(s.lock);
    while (work.held >= ahead_limit && !s.stopping && !work.abandoned)
        s.room.wait(hold);
    if (s.stopping || work.abandoned)
        return false;
    work.held += produced;
    work.pieces.push_back(std::move(piece));
    piece = std::vector<unsigned char>();
    s.output.notify_all();
    return true;
}

// The block as a one-block stream through libbzip2: the reference for every
// block our own decoder refuses.
bool decode_with_libbzip2(block_work& work, shared_state& s, decoder_memory& memory,
                          std::vector<unsigned char>& piece)
{
    one_block_stream stream(work.first, work.end, work.level, work.crc);
    size_t at_chunk = 0;
    auto source = [&](uint64_t byte, size_t count, unsigned char* out) {
        copy_source(work.chunks, at_chunk, byte, count, out);
    };
    bz_stream strm;
    memset(&strm, 0, sizeof strm);
    memory.attach(strm);
    if (BZ2_bzDecompressInit(&strm, 0, 0) != BZ_OK)
        return false;
    bool decoded = false;
    while (may_go_on(work, s)) {
        if (strm.avail_in == 0 && !stream.done()) {
            strm.next_in = reinterpret_cast<char*>(memory.feed.data());
            strm.avail_in = static_cast<unsigned>(stream.next(memory.feed.data(), feed_size, source));
        }
        if (piece.empty())
            piece = s.take_piece();
        strm.next_out = reinterpret_cast<char*>(piece.data());
        strm.avail_out = static_cast<unsigned>(piece_size);
        int ret = BZ2_bzDecompress(&strm);
        size_t produced = piece_size - strm.avail_out;
        if (produced > 0) {
            // Output comes once every bit of the block has been taken in.
            if (!work.released && stream.done())
                release_bits(work, s);
            if (!hand_over_piece(work, s, piece, produced))
                break;
        }
        if (ret == BZ_STREAM_END) {
            decoded = true;
            break;
        }
        // Damage, or the bits ran out before the block's end.
        if (ret != BZ_OK || (produced == 0 && (strm.avail_in > 0 || stream.done())))
            break;
    }
    BZ2_bzDecompressEnd(&strm);
    return decoded;
}

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
    if (!memory) {
        memory = std::make_unique<decoder_memory>();
        memory->whole_large_pages = s.whole_large_pages;
    }
    std::vector<unsigned char> piece;
    bool decoded = false;
    int level = work.level - '0';
    uint32_t* table = memory->table(level);
    block_decoder own;
    size_t at_chunk = 0;
    auto source = [&](uint64_t byte, size_t count, unsigned char* out) {
        copy_source(work.chunks, at_chunk, byte, count, out);
    };
    if (table && own.read(work.first, work.end, level, table, source)) {
        work.own_bits = true;
        release_bits(work, s);
        while (may_go_on(work, s)) {
            if (piece.empty())
                piece = s.take_piece();
            size_t produced = own.write(piece.data(), piece_size);
            if (produced == 0) {
                decoded = own.good();
                break;
            }
            if (!hand_over_piece(work, s, piece, produced))
                break;
        }
        memory->give_back(table);
    } else {
        if (table)
            memory->give_back(table);
        decoded = decode_with_libbzip2(work, s, *memory, piece);
    }
    if (!piece.empty())
        s.give_back(std::move(piece));
    // A block that failed keeps its bits in the reader's window all the same,
    // to be decoded again.
    work.chunks.clear();
    std::lock_guard<std::mutex> hold(s.lock);
    s.spare_memory.push_back(std::move(memory));
    work.finished = true;
    work.decoded = decoded;
    s.output.notify_all();
}

class decoder {
public:
    decoder(const source_reader& read, size_t read_size, uint64_t first, bool one_stream, decode_sink& sink)
        : read_(read), read_size_(read_size), sink_(sink), one_stream_(one_stream),
          chunk_capacity_(std::max(read_size, chunk_size / read_size * read_size)), window_base_(first),
          scan_next_(first), cursor_(first * 8)
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
        uint32_t crc = 0;  // block: its own; stream_end: the combined one stored
        int joins = 0;
        stream_info stream;
        std::shared_ptr<block_work> work;
        bool streaming = false;  // its output went out before its CRC was known
    };

    uint64_t window_end() const { return window_.empty() ? window_base_ : window_.back()->base + window_.back()->size; }
    uint64_t window_end_bit() const { return window_end() * 8; }
    bool read_more();
    void drop_done();
    void scan();
    bool have_bits(uint64_t end_bit);
    uint32_t bits_at(uint64_t bit, int count);
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
    size_t chunk_capacity_;
    size_t held_source_limit_ = 0;

    std::deque<chunk_ptr> window_;  // the source from window_base_ on
    std::vector<chunk_ptr> spare_chunks_;
    uint64_t window_base_;
    uint64_t scan_next_;  // first byte not yet scanned for magics
    bool at_end_ = false;
    bool read_failed_ = false;
    bool stop_asked_ = false;
    // Reading waits for a worker to let go of a block's bits.
    bool held_back_ = false;
    uint64_t releases_seen_ = 0;
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

// Drops the chunks no item can need again: from the first block whose bits
// a worker still needs (or that failed, to be decoded again), or else from
// the next step, everything stays.
void decoder::drop_done()
{
    uint64_t keep_bit = cursor_;
    {
        std::lock_guard<std::mutex> hold(shared_.lock);
        for (const item& it : queue_)
            if (it.kind == item::block && !it.work->released) {
                keep_bit = it.bit;
                break;
            }
    }
    uint64_t keep = std::min(keep_bit / 8, scan_next_);
    while (window_.size() > 1 && window_.front()->base + window_.front()->size <= keep) {
        chunk_ptr gone = std::move(window_.front());
        window_.pop_front();
        window_base_ = window_.front()->base;
        // Kept for reuse unless a worker still reads it.
        if (gone.use_count() == 1 && spare_chunks_.size() < 4)
            spare_chunks_.push_back(std::move(gone));
    }
    while (!magics_.empty() && magics_.front().bit < window_base_ * 8)
        magics_.pop_front();
}

bool decoder::read_more()
{
    held_back_ = false;
    if (at_end_ || stop_asked_)
        return false;
    drop_done();
    if (window_end() - window_base_ >= held_source_limit_) {
        std::lock_guard<std::mutex> hold(shared_.lock);
        for (const item& it : queue_)
            if (it.kind == item::block && !it.work->released) {
                held_back_ = true;
                releases_seen_ = shared_.releases;
                return false;
            }
    }

    if (window_.empty() || window_.back()->bytes.size() - window_.back()->size < read_size_) {
        chunk_ptr fresh;
        if (!spare_chunks_.empty()) {
            fresh = std::move(spare_chunks_.back());
            spare_chunks_.pop_back();
        } else {
            fresh = std::make_shared<chunk>(chunk_capacity_);
        }
        fresh->base = window_end();
        fresh->size = 0;
        if (window_.empty())
            window_base_ = fresh->base;
        window_.push_back(std::move(fresh));
    }
    chunk& last = *window_.back();
    bool failed = false;
    size_t n = read_(last.bytes.data() + last.size, read_size_, &failed);
    last.size += n;
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
    scan();
    return n > 0;
}

// Looks for magics in what has been read since, across the chunks' joins.
void decoder::scan()
{
    found_.clear();
    size_t k = window_.size();
    while (k > 0 && window_[k - 1]->base > scan_next_)
        --k;
    for (k = k > 0 ? k - 1 : 0; k < window_.size(); ++k) {
        const chunk& c = *window_[k];
        bool last_chunk = k + 1 == window_.size();
        size_t from = static_cast<size_t>(scan_next_ - c.base);
        size_t next = find_magics(c.bytes.data(), c.size, from, c.base, at_end_ && last_chunk, found_);
        scan_next_ = c.base + next;
        if (last_chunk)
            break;
        // The last bytes of this chunk with the first of the next one.
        const chunk& d = *window_[k + 1];
        unsigned char joint[14];
        size_t tail = c.size - next;
        size_t head = std::min<size_t>(7, d.size);
        memcpy(joint, c.bytes.data() + next, tail);
        memcpy(joint + tail, d.bytes.data(), head);
        bool last = at_end_ && head == d.size && k + 2 == window_.size();
        scan_next_ += find_magics(joint, tail + head, 0, scan_next_, last, found_);
        if (scan_next_ < d.base)
            break;
    }
    magics_.insert(magics_.end(), found_.begin(), found_.end());
}

bool decoder::have_bits(uint64_t end_bit)
{
    while (window_end_bit() < end_bit)
        if (!read_more())
            return false;
    return true;
}

uint32_t decoder::bits_at(uint64_t bit, int count)
{
    unsigned char bytes[8];
    size_t at = 0;
    copy_source(window_, at, bit / 8, static_cast<size_t>((bit % 8 + count + 7) / 8), bytes);
    return read_bits(bytes, bit % 8, count);
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

// Takes the next step through the source; false when there is none to take,
// or none until a worker lets go of some of the source (held_back_).
bool decoder::produce()
{
    held_back_ = false;
    if (expect_ == expect::nothing || stop_asked_)
        return false;
    if (expect_ == expect::header) {
        uint64_t at = cursor_ / 8;
        if (!have_bits(cursor_ + 32)) {
            if (held_back_)
                return false;
            stream_.start = at;
            // Nothing after the last stream ends the source well; anything shorter than a header does not.
            push(window_end_bit() == cursor_ && !read_failed_ ? item::source_end : item::anomaly);
            return true;
        }
        stream_.start = at;
        unsigned char head[4];
        size_t chunk_at = 0;
        copy_source(window_, chunk_at, at, 4, head);
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
    if (held_back_)
        return false;
    size_t here = candidate_from(cursor_);
    bool found = here < magics_.size() && magics_[here].bit == cursor_;
    bool end_magic = found && magics_[here].end;  // reading more may drop magics before it
    if (!found || !have_bits(cursor_ + 80)) {
        if (held_back_)
            return false;
        push(item::anomaly);
        return true;
    }
    if (end_magic) {
        push(item::stream_end);
        queue_.back().crc = bits_at(cursor_ + 48, 32);
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
            if (held_back_)
                return false;
            end = window_end_bit();
            break;
        }
    }
    // A block no magic ends is cut short or damaged: what the sequential
    // decoding makes of it (how much of it comes out) is its own to say.
    if (!at_magic || end > cursor_ + max_block_bits) {
        push(item::anomaly);
        return true;
    }
    push(item::block);
    item& block = queue_.back();
    block.end = end;
    block.crc = bits_at(cursor_ + 48, 32);
    block.joins = joins_;
    block.work = std::make_shared<block_work>();
    block_work& work = *block.work;
    work.first = cursor_;
    work.end = end;
    work.level = stream_.level;
    work.crc = block.crc;
    for (const chunk_ptr& c : window_)
        if (c->base + c->size > cursor_ / 8 && c->base * 8 < end)
            work.chunks.push_back(c);
    std::shared_ptr<block_work> shared_work = block.work;
    shared_state* shared = &shared_;
    pool_->submit([shared_work, shared] { decode_block(*shared_work, *shared); });
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
    held_source_limit_ = held_source_per_worker * pool_->threads();
    shared_.whole_large_pages = pool_->threads() > 1;
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
        // Or until a worker lets go of source the reader waits to drop.
        auto released = [&] { return held_back_ && shared_.releases != releases_seen_; };
        if (!shared_.output.wait_for(hold, poll, [&] { return ready() || released(); }) || !ready())
            continue;
        if (work.finished && !work.decoded) {
            hold.unlock();
            // Its bits are still at hand unless it gave output before it failed.
            if (!head.streaming && head.joins < max_joins && head.bit / 8 >= window_base_) {
                item failed = head;
                rewind_to(failed);
                continue;
            }
            return hand_over(head.stream);
        }
        if (!work.pieces.empty()) {
            // A block too large to hold streams out before its CRC is known:
            // the sequential decoding writes the same bytes first. Only what
            // came from the block's own bits is sure to be those bytes; for
            // the rest, that decoding takes over here.
            if (!work.finished) {
                if (!work.own_bits) {
                    hold.unlock();
                    return hand_over(head.stream);
                }
                head.streaming = true;
            }
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

bool held_back_output::write(const unsigned char* data, size_t count)
{
    uint64_t given = given_ + count;
    uint64_t safe = given >= chunk_ ? (given - chunk_) / chunk_ * chunk_ : 0;
    if (safe > written_) {
        size_t from_tail = static_cast<size_t>(std::min<uint64_t>(safe - written_, tail_.size()));
        if (!put(tail_.data(), from_tail))
            return false;
        tail_.erase(tail_.begin(), tail_.begin() + static_cast<ptrdiff_t>(from_tail));
        size_t from_data = static_cast<size_t>(safe - written_ - from_tail);
        if (!put(data, from_data))
            return false;
        data += from_data;
        count -= from_data;
        written_ = safe;
    }
    tail_.insert(tail_.end(), data, data + count);
    given_ = given;
    return true;
}

bool held_back_output::stream_whole()
{
    bool ok = put(tail_.data(), tail_.size());
    tail_.clear();
    given_ = written_ = 0;
    return ok;
}

parallel_outcome decompress_in_parallel(const source_reader& read, size_t read_size, uint64_t first,
                                        bool one_stream, decode_sink& sink)
{
    decoder d(read, read_size, first, one_stream, sink);
    return d.run();
}

}  // namespace kelb
