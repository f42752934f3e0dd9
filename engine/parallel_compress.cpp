#include "parallel_compress.h"

#include "block_cutter.h"
#include "job_pool.h"
#include "side_thread.h"
#include "stream_splice.h"

#include <bzlib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

namespace kelb {

namespace {

// What one read may bring, and the pieces a block is expanded in.
constexpr size_t read_size = compress_read_size;
constexpr size_t expand_size = 65536;

// As libbzip2's own file layer: no diagnostics, the default work factor.
constexpr int compress_verbosity = 0;
constexpr int compress_work_factor = 30;

// libbzip2 asks for the same few large pieces (about 8 MB at level 9) for
// every block, and every block needs two buffers of about its size. All are
// kept for the next block rather than handed back: fresh pages from the
// system cost their faults and zeroing each time, and the heap would grow
// with the holes they leave.
class block_memory {
public:
    static void* take(void* self, int n, int m)
    {
        auto* memory = static_cast<block_memory*>(self);
        size_t size = static_cast<size_t>(n) * static_cast<size_t>(m);
        {
            std::lock_guard<std::mutex> hold(memory->lock_);
            for (size_t i = 0; i < memory->kept_.size(); ++i) {
                if (memory->kept_[i].size == size) {
                    void* piece = memory->kept_[i].piece;
                    memory->kept_[i] = memory->kept_.back();
                    memory->kept_.pop_back();
                    return piece;
                }
            }
        }
        // The size goes in front, where give() finds it.
        auto* block = static_cast<unsigned char*>(malloc(size + header));
        if (!block)
            return nullptr;
        memcpy(block, &size, sizeof size);
        return block + header;
    }
    static void give(void* self, void* piece)
    {
        auto* memory = static_cast<block_memory*>(self);
        size_t size;
        memcpy(&size, static_cast<unsigned char*>(piece) - header, sizeof size);
        std::lock_guard<std::mutex> hold(memory->lock_);
        memory->kept_.push_back({size, piece});
    }
    // A buffer of a block gone by (empty, its room kept), or a new one.
    std::vector<unsigned char> take_buffer()
    {
        std::lock_guard<std::mutex> hold(lock_);
        std::vector<unsigned char> buffer;
        if (!buffers_.empty()) {
            buffer.swap(buffers_.back());
            buffers_.pop_back();
        }
        buffer.clear();
        return buffer;
    }
    void give_buffer(std::vector<unsigned char>& buffer)
    {
        std::lock_guard<std::mutex> hold(lock_);
        buffers_.emplace_back();
        buffers_.back().swap(buffer);
    }

    block_memory() = default;
    block_memory(const block_memory&) = delete;
    block_memory& operator=(const block_memory&) = delete;
    ~block_memory()
    {
        for (const kept& k : kept_)
            free(static_cast<unsigned char*>(k.piece) - header);
    }

private:
    static constexpr size_t header = 16;  // keeps the pieces aligned as malloc's
    struct kept {
        size_t size;
        void* piece;
    };
    std::mutex lock_;
    std::vector<kept> kept_;
    std::vector<std::vector<unsigned char>> buffers_;
};

struct block_work {
    cut_block input;
    std::vector<unsigned char> stream;  // the block as a one-block stream
    uint64_t raw_size = 0;
    uint64_t end_bit = 0;
    uint32_t crc = 0;
    bool compressed = false;
    std::future<void> done;
};

// Runs on a worker: the block alone, expanded piece by piece into libbzip2.
void compress_block(int level, block_memory& memory, block_work& work)
{
    bz_stream strm;
    memset(&strm, 0, sizeof strm);
    strm.bzalloc = block_memory::take;
    strm.bzfree = block_memory::give;
    strm.opaque = &memory;
    if (BZ2_bzCompressInit(&strm, level, compress_verbosity, compress_work_factor) != BZ_OK)
        return;
    std::vector<unsigned char> raw(expand_size);
    block_expander expander(work.input.coded);
    uint64_t left = work.input.raw_size;
    // Room reserved; pages not yet touched are taken as the output comes.
    work.stream = memory.take_buffer();
    work.stream.reserve(work.input.coded.size() + work.input.coded.size() / 32 + 4096);
    size_t out_at = 0;
    bool ended = false, failed = false;
    while (!ended && !failed) {
        size_t n = expander.expand(raw.data(), raw.size());
        left -= n;
        // All of it is in libbzip2's own block now or in this last piece.
        if (left == 0)
            memory.give_buffer(work.input.coded);
        // The last piece goes in with the finish, so that the block's last
        // run is closed inside this block, as in the whole stream.
        int action = left == 0 ? BZ_FINISH : BZ_RUN;
        strm.next_in = reinterpret_cast<char*>(raw.data());
        strm.avail_in = static_cast<unsigned>(n);
        for (;;) {
            if (out_at == work.stream.size()) {
                // Within the room reserved while there is some: no copy.
                size_t room = work.stream.capacity() > out_at ? work.stream.capacity() : 2 * out_at;
                work.stream.resize(std::min(room, out_at + expand_size));
            }
            strm.next_out = reinterpret_cast<char*>(work.stream.data() + out_at);
            strm.avail_out = static_cast<unsigned>(work.stream.size() - out_at);
            int ret = BZ2_bzCompress(&strm, action);
            out_at = work.stream.size() - strm.avail_out;
            if (ret == BZ_STREAM_END) {
                ended = true;
                break;
            }
            if (ret == BZ_RUN_OK && strm.avail_in == 0)
                break;
            if (ret != BZ_RUN_OK && ret != BZ_FINISH_OK) {
                failed = true;
                break;
            }
        }
    }
    BZ2_bzCompressEnd(&strm);
    work.stream.resize(out_at);
    work.compressed = ended && find_block(work.stream, &work.end_bit, &work.crc);
}

class pipeline {
public:
    pipeline(int level, unsigned threads, const compress_io& io)
        : level_(level), io_(io), pool_(threads), observer_(io.observe), chunk_(read_size), cutter_(level), splicer_(level),
          most_queued_(pool_.threads() + 1)
    {
    }

    compress_end run()
    {
        for (;;) {
            if (io_.must_stop())
                return compress_end::stopped;
            unsigned char* chunk = chunk_.data();
            size_t n = 0;
            if (!io_.read(chunk, read_size, &n))
                return compress_end::read_failed;
            if (n == 0)
                break;
            observer_.add(chunk, n);
            for (size_t at = 0; at < n;) {
                if (!cutter_.has_buffer())
                    cutter_.use_buffer(memory_.take_buffer());
                at += cutter_.feed(chunk + at, n - at);
                if (cutter_.full() && !submit())
                    return failure_;
            }
        }
        if (!cutter_.empty() && !submit())
            return failure_;
        while (!queue_.empty()) {
            if (!write_front())
                return failure_;
        }
        const std::vector<unsigned char>& tail = splicer_.finish();
        return io_.write(tail.data(), tail.size()) ? compress_end::finished : compress_end::write_failed;
    }

private:
    bool submit()
    {
        auto work = std::make_unique<block_work>();
        work->input = cutter_.take();
        work->raw_size = work->input.raw_size;
        block_work* task = work.get();
        int level = level_;
        block_memory* memory = &memory_;
        work->done = pool_.submit([level, memory, task] { compress_block(level, *memory, *task); });
        queue_.push_back(std::move(work));
        // Blocks done go out at once; beyond the bound the reader waits.
        while (!queue_.empty() &&
               (queue_.size() > most_queued_ ||
                queue_.front()->done.wait_for(std::chrono::seconds(0)) == std::future_status::ready)) {
            if (!write_front())
                return false;
        }
        return true;
    }

    bool write_front()
    {
        std::unique_ptr<block_work> work = std::move(queue_.front());
        queue_.pop_front();
        work->done.wait();
        // The writer stops at a pause as the reader does: progress holds still.
        if (io_.must_stop()) {
            failure_ = compress_end::stopped;
            return false;
        }
        if (!work->compressed) {
            failure_ = compress_end::no_compressor;
            return false;
        }
        size_t ready = splicer_.append_block(work->stream, work->end_bit, work->crc);
        if (ready > 0 && !io_.write(work->stream.data(), ready)) {
            failure_ = compress_end::write_failed;
            return false;
        }
        memory_.give_buffer(work->stream);
        uint64_t raw_size = work->raw_size;
        work.reset();
        done_ += raw_size;
        if (io_.progress)
            io_.progress(done_);
        return true;
    }

    int level_;
    const compress_io& io_;
    // Declared before the pool: its tasks work on these until it has joined.
    block_memory memory_;
    std::deque<std::unique_ptr<block_work>> queue_;
    job_pool pool_;
    side_thread observer_;
    std::vector<unsigned char> chunk_;
    block_cutter cutter_;
    stream_splicer splicer_;
    size_t most_queued_;
    uint64_t done_ = 0;
    compress_end failure_ = compress_end::write_failed;
};

}  // namespace

compress_end compress_stream(int level, int workers, const compress_io& io)
{
    pipeline p(level, workers > 1 ? static_cast<unsigned>(workers) : 0, io);
    return p.run();
}

}  // namespace kelb
