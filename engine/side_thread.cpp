#include "side_thread.h"

namespace kelb {

namespace {
// The consumer (MD5, several hundred MB/s) keeps well ahead of the job: a
// short queue will do, counted in bytes, as its memory is part of the job's
// and one worker's memory allowance has little room to spare.
constexpr size_t max_queued_bytes = 64 * 1024;
// Large writes are queued in pieces of this size, so that no piece, nor the
// spare buffers kept for reuse, holds more than a part of the queue.
constexpr size_t max_piece_bytes = max_queued_bytes / 4;
}

side_thread::side_thread(consumer consume) : consume_(std::move(consume))
{
    if (!consume_)
        return;
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
    }
}

void side_thread::add(const unsigned char* data, size_t count)
{
    if (!consume_)
        return;
    if (!thread_.joinable()) {
        consume_(data, count);
        return;
    }
    for (; count > max_piece_bytes; data += max_piece_bytes, count -= max_piece_bytes)
        add(data, max_piece_bytes);
    std::vector<unsigned char> piece;
    {
        std::unique_lock<std::mutex> hold(lock_);
        room_.wait(hold, [&] { return queued_ == 0 || queued_ + count <= max_queued_bytes; });
        if (!spare_.empty()) {
            piece = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    piece.assign(data, data + count);
    std::lock_guard<std::mutex> hold(lock_);
    queue_.push_back(std::move(piece));
    queued_ += count;
    work_.notify_one();
}

void side_thread::finish()
{
    if (!thread_.joinable())
        return;
    {
        std::lock_guard<std::mutex> hold(lock_);
        done_ = true;
    }
    work_.notify_one();
    thread_.join();
}

void side_thread::run()
{
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        work_.wait(hold, [&] { return done_ || !queue_.empty(); });
        if (queue_.empty())
            return;
        std::vector<unsigned char> piece = std::move(queue_.front());
        queue_.pop_front();
        hold.unlock();
        consume_(piece.data(), piece.size());
        hold.lock();
        queued_ -= piece.size();
        spare_.push_back(std::move(piece));
        room_.notify_one();
    }
}

}  // namespace kelb
