// Bytes handed, in order, to a function on a thread of its own, so that work
// on every byte (the Bzip3 digest) is off the path of the job's own thread.
// Without a thread it calls the function in place.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kelb {

class side_thread {
public:
    using consumer = std::function<void(const unsigned char* data, size_t count)>;
    // An empty consumer takes nothing and starts no thread.
    explicit side_thread(consumer consume);
    ~side_thread() { finish(); }
    side_thread(const side_thread&) = delete;
    side_thread& operator=(const side_thread&) = delete;

    // Copies the bytes; waits while the thread is some way behind.
    void add(const unsigned char* data, size_t count);
    // Returns once every byte given has been consumed.
    void finish();

private:
    void run();

    consumer consume_;
    std::mutex lock_;
    std::condition_variable work_;
    std::condition_variable room_;
    std::deque<std::vector<unsigned char>> queue_;
    std::vector<std::vector<unsigned char>> spare_;
    size_t queued_ = 0;  // bytes in queue_
    bool done_ = false;
    std::thread thread_;
};

}  // namespace kelb
