// The threads of one job. A job makes its pool when it starts and the pool
// joins every thread before the job returns, so that no thread outlives its
// job (the library may be unloaded as soon as the job has ended).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace kelb {

class job_pool {
public:
    // threads workers; with none, every task runs on the caller's thread
    // inside submit.
    explicit job_pool(unsigned threads);
    // Tasks not yet begun are dropped (their futures report a broken
    // promise); running ones are waited for.
    ~job_pool();
    job_pool(const job_pool&) = delete;
    job_pool& operator=(const job_pool&) = delete;

    std::future<void> submit(std::function<void()> task);
    unsigned threads() const { return static_cast<unsigned>(workers_.size()); }

private:
    void work();

    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::packaged_task<void()>> queue_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

// The workers a job uses: what "setthreads" asked for, or by default the
// processors available to the process; never more than job_threads_max.
extern std::atomic<int32_t> job_threads_setting;  // 0: the default
constexpr int32_t job_threads_max = sizeof(void*) == 4 ? 16 : 64;  // 32-bit: address space
int32_t job_threads();

}  // namespace kelb
