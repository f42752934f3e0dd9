#include "parallel_compress.h"

#include "block_cutter.h"
#include "job_pool.h"
#include "stream_splice.h"

#include <bzlib.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kelb {

namespace {

// The pieces a block is expanded in.
constexpr size_t read_size = compress_read_size;
constexpr size_t expand_size = 65536;
// Source chunks the observer may lag behind the reader.
constexpr unsigned observed_chunks = 8;

// As libbzip2's own file layer: no diagnostics, the default work factor.
constexpr int compress_verbosity = 0;
constexpr int compress_work_factor = 30;

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
void compress_block(int level, block_work& work)
{
    bz_stream strm;
    memset(&strm, 0, sizeof strm);
    if (BZ2_bzCompressInit(&strm, level, compress_verbosity, compress_work_factor) != BZ_OK)
        return;
    std::vector<unsigned char> raw(expand_size);
    block_expander expander(work.input.coded);
    uint64_t left = work.input.raw_size;
    // Reserved, not yet touched: pages are taken as the output comes.
    work.stream.reserve(work.input.coded.size() + work.input.coded.size() / 32 + 4096);
    size_t out_at = 0;
    bool ended = false, failed = false;
    while (!ended && !failed) {
        size_t n = expander.expand(raw.data(), raw.size());
        left -= n;
        // All of it is in libbzip2's own block now or in this last piece.
        if (left == 0)
            std::vector<unsigned char>().swap(work.input.coded);
        // The last piece goes in with the finish, so that the block's last
        // run is closed inside this block, as in the whole stream.
        int action = left == 0 ? BZ_FINISH : BZ_RUN;
        strm.next_in = reinterpret_cast<char*>(raw.data());
        strm.avail_in = static_cast<unsigned>(n);
        for (;;) {
            if (out_at == work.stream.size())
                work.stream.resize(out_at + expand_size);
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

// Hands the source's chunks, in order, to a function on a thread of its own,
// off the reader's path. Without a thread it calls the function itself.
class input_observer {
public:
    explicit input_observer(const std::function<void(const unsigned char*, size_t)>& observe)
        : observe_(observe), buffers_(observe ? observed_chunks : 1), sizes_(buffers_.size())
    {
        for (auto& b : buffers_)
            b.resize(read_size);
        if (observe_) {
            try {
                thread_ = std::thread([this] { work(); });
            } catch (const std::system_error&) {
            }
        }
    }
    // Every chunk handed over has been seen once this returns.
    ~input_observer()
    {
        if (!thread_.joinable())
            return;
        {
            std::lock_guard<std::mutex> hold(lock_);
            ending_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

    // A buffer free to read into.
    unsigned char* next()
    {
        std::unique_lock<std::mutex> hold(lock_);
        wake_.wait(hold, [this] { return filled_ - seen_ < buffers_.size(); });
        return buffers_[filled_ % buffers_.size()].data();
    }
    // The buffer from next() now holds n source bytes.
    void hand_over(size_t n)
    {
        if (!observe_)
            return;
        if (!thread_.joinable()) {
            observe_(buffers_[0].data(), n);
            return;
        }
        {
            std::lock_guard<std::mutex> hold(lock_);
            sizes_[filled_ % buffers_.size()] = n;
            ++filled_;
        }
        wake_.notify_all();
    }

private:
    void work()
    {
        std::unique_lock<std::mutex> hold(lock_);
        for (;;) {
            wake_.wait(hold, [this] { return ending_ || seen_ < filled_; });
            if (seen_ == filled_)
                return;
            size_t at = seen_ % buffers_.size();
            hold.unlock();
            observe_(buffers_[at].data(), sizes_[at]);
            hold.lock();
            ++seen_;
            wake_.notify_all();
        }
    }

    const std::function<void(const unsigned char*, size_t)>& observe_;
    std::vector<std::vector<unsigned char>> buffers_;
    std::vector<size_t> sizes_;
    uint64_t filled_ = 0, seen_ = 0;
    bool ending_ = false;
    std::mutex lock_;
    std::condition_variable wake_;
    std::thread thread_;
};

class pipeline {
public:
    pipeline(int level, unsigned threads, const compress_io& io)
        : level_(level), io_(io), pool_(threads), observer_(io.observe), cutter_(level), splicer_(level),
          most_queued_(pool_.threads() + 1)
    {
    }

    compress_end run()
    {
        for (;;) {
            if (io_.must_stop())
                return compress_end::stopped;
            unsigned char* chunk = observer_.next();
            size_t n = 0;
            if (!io_.read(chunk, read_size, &n))
                return compress_end::read_failed;
            if (n == 0)
                break;
            observer_.hand_over(n);
            for (size_t at = 0; at < n;) {
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
        splicer_.finish();
        return write_ready() ? compress_end::finished : compress_end::write_failed;
    }

private:
    bool submit()
    {
        auto work = std::make_unique<block_work>();
        work->input = cutter_.take();
        work->raw_size = work->input.raw_size;
        block_work* task = work.get();
        int level = level_;
        work->done = pool_.submit([level, task] { compress_block(level, *task); });
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
        splicer_.append_block(work->stream, work->end_bit, work->crc);
        uint64_t raw_size = work->raw_size;
        work.reset();
        if (!write_ready())
            return false;
        done_ += raw_size;
        if (io_.progress)
            io_.progress(done_);
        return true;
    }

    bool write_ready()
    {
        if (splicer_.ready_size() > 0 && !io_.write(splicer_.ready(), splicer_.ready_size())) {
            failure_ = compress_end::write_failed;
            return false;
        }
        splicer_.drop_ready();
        return true;
    }

    int level_;
    const compress_io& io_;
    // Declared before the pool: its tasks work on these until it has joined.
    std::deque<std::unique_ptr<block_work>> queue_;
    job_pool pool_;
    input_observer observer_;
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
