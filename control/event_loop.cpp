// The Linux shell's event loop: poll(2) over the host's descriptors, with
// the controls' timers as its timeout. Like Windows timer messages, a timer
// that fell behind ticks once, not once per missed interval.
#include "event_loop_state.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

namespace kelbzip2 {

using clock = std::chrono::steady_clock;

namespace {

class loop_timer : public kelb::poll_timer {
public:
    loop_timer(std::shared_ptr<event_loop::state> loop, std::shared_ptr<event_loop::state::timer> timer)
        : loop_(std::move(loop)), timer_(std::move(timer))
    {
    }
    ~loop_timer() override
    {
        timer_->tick = nullptr;
        auto& timers = loop_->timers;
        timers.erase(std::remove(timers.begin(), timers.end(), timer_), timers.end());
    }
    void set_enabled(bool enabled) override
    {
        if (enabled && !timer_->enabled) {
            timer_->due = clock::now() + timer_->interval;
            timer_->enabled_order = ++loop_->enablings;
        }
        timer_->enabled = enabled;
    }

private:
    std::shared_ptr<event_loop::state> loop_;
    std::shared_ptr<event_loop::state::timer> timer_;
};

}  // namespace

std::unique_ptr<kelb::poll_timer> event_loop::state::create_timer(unsigned interval_ms, std::function<void()> tick)
{
    auto made = std::make_shared<timer>();
    made->interval = std::chrono::milliseconds(interval_ms);
    made->tick = std::move(tick);
    timers.push_back(made);
    return std::make_unique<loop_timer>(shared_from_this(), made);
}

bool event_loop::state::idle() const
{
    return watches.empty() && std::none_of(timers.begin(), timers.end(), [](auto& t) { return t->enabled; });
}

event_loop::event_loop() : state_(std::make_shared<state>()) {}

event_loop::~event_loop() = default;

void event_loop::quit() { state_->quit_requested = true; }

void event_loop::watch(int fd, std::function<void()> on_ready)
{
    unwatch(fd);
    auto made = std::make_shared<state::watch_entry>();
    made->fd = fd;
    made->on_ready = std::move(on_ready);
    state_->watches.push_back(made);
}

void event_loop::unwatch(int fd)
{
    auto& watches = state_->watches;
    for (auto& w : watches)
        if (w->fd == fd)
            w->on_ready = nullptr;
    watches.erase(std::remove_if(watches.begin(), watches.end(), [&](auto& w) { return w->fd == fd; }),
                  watches.end());
}

void event_loop::run()
{
    while (state_->quit_requested || !state_->idle())
        if (!run_once(-1))
            return;
}

bool event_loop::state::quit_was_requested()
{
    bool requested = quit_requested;
    quit_requested = false;
    return requested;
}

bool event_loop::run_once(int timeout_ms)
{
    state& s = *state_;
    if (s.quit_was_requested())
        return false;

    auto now = clock::now();
    int wait = timeout_ms;
    for (auto& t : s.timers) {
        if (!t->enabled)
            continue;
        auto until = std::chrono::duration_cast<std::chrono::milliseconds>(t->due - now).count();
        int due_in = static_cast<int>(std::max<long long>(0, until));
        if (wait < 0 || due_in < wait)
            wait = due_in;
    }

    // Copies: a callback may add or remove watches and timers.
    auto watches = s.watches;
    std::vector<pollfd> fds;
    for (auto& w : watches)
        fds.push_back({w->fd, POLLIN, 0});
    int ready = poll(fds.data(), fds.size(), wait);
    if (ready < 0 && errno != EINTR)
        ready = 0;

    for (size_t i = 0; ready > 0 && i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)))
            continue;
        // A closed or broken descriptor would wake us forever.
        if (fds[i].revents & POLLNVAL) {
            unwatch(fds[i].fd);
            continue;
        }
        auto on_ready = watches[i]->on_ready;
        if (on_ready)
            on_ready();
        if (s.quit_was_requested())
            return false;
    }

    now = clock::now();
    auto timers = s.timers;
    std::sort(timers.begin(), timers.end(), [](auto& a, auto& b) {
        return a->due != b->due ? a->due < b->due : a->enabled_order < b->enabled_order;
    });
    for (auto& t : timers) {
        if (!t->enabled || t->due > now)
            continue;
        t->due = now + t->interval;
        auto tick = t->tick;
        if (tick)
            tick();
        if (s.quit_was_requested())
            return false;
    }
    return true;
}

}  // namespace kelbzip2
