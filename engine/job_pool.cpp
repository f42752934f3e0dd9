#include "job_pool.h"

#include "platform.h"

namespace kelb {

std::atomic<int32_t> job_threads_setting{0};

int32_t job_threads()
{
    int32_t wanted = job_threads_setting.load();
    if (wanted <= 0)
        wanted = platform().available_processors();
    return wanted < 1 ? 1 : wanted > job_threads_max ? job_threads_max : wanted;
}

job_pool::job_pool(unsigned threads)
{
    for (unsigned i = 0; i < threads; ++i) {
        try {
            workers_.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            break;  // fewer threads still do the work; none, and submit runs it
        }
    }
}

job_pool::~job_pool()
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
        queue_.clear();
    }
    wake_.notify_all();
    for (std::thread& t : workers_)
        t.join();
}

std::future<void> job_pool::submit(std::function<void()> task)
{
    std::packaged_task<void()> packaged(std::move(task));
    std::future<void> done = packaged.get_future();
    if (workers_.empty()) {
        packaged();
        return done;
    }
    {
        std::lock_guard<std::mutex> hold(lock_);
        queue_.push_back(std::move(packaged));
    }
    wake_.notify_one();
    return done;
}

void job_pool::work()
{
    for (;;) {
        std::packaged_task<void()> task;
        {
            std::unique_lock<std::mutex> hold(lock_);
            wake_.wait(hold, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_)
                return;
            task = std::move(queue_.front());
            queue_.pop_front();
        }
        task();
    }
}

}  // namespace kelb
