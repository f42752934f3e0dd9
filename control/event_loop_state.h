// What the Linux shell's event loop keeps, shared with the controls' timers.
#pragma once

#include "kelbzip2.h"
#include "kelbzip2_control.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

namespace kelbzip2 {

struct event_loop::state : kelb::timer_service, std::enable_shared_from_this<event_loop::state> {
    struct timer {
        std::chrono::steady_clock::duration interval{};
        std::chrono::steady_clock::time_point due{};
        bool enabled = false;
        // Of two timers due together, the one enabled first ticks first.
        uint64_t enabled_order = 0;
        std::function<void()> tick;
    };
    struct watch_entry {
        int fd = -1;
        std::function<void()> on_ready;
    };

    std::unique_ptr<kelb::poll_timer> create_timer(unsigned interval_ms, std::function<void()> tick) override;
    // Nothing enabled or watched: nothing could ever call back.
    bool idle() const;
    // A quit is answered once.
    bool quit_was_requested();

    std::vector<std::shared_ptr<timer>> timers;
    std::vector<std::shared_ptr<watch_entry>> watches;
    bool quit_requested = false;
    uint64_t enablings = 0;
};

}  // namespace kelbzip2
