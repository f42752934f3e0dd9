// What the control's tests share: a platform whose "own directory" the test
// chooses and whose message boxes and library loads are counted, timers
// ticked by hand, events recorded as lines, and the scripted engine's knobs.
#pragma once

#include "control_platform.h"
#include "kelbzip2_control.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace ctl {

using kelb::text;

// Between the test's narrow paths and the control's UTF-16 texts.
text wide(const std::string& value);
std::string narrow(const text& value);
// A text with NULs inside, from a literal.
template <typename Char, size_t N>
std::basic_string<Char> with_nuls(const Char (&literal)[N])
{
    return std::basic_string<Char>(literal, N - 1);
}

// The real platform, except that the control library's directory is the
// one the test sets, message boxes are recorded and loads counted.
struct platform_record {
    text directory;
    std::vector<std::string> message_boxes;  // "caption: message"
    int loads = 0;                           // successful ones
    int frees = 0;
};
platform_record& platform();
class platform_double {
public:
    explicit platform_double(const std::string& directory);
    ~platform_double();
};

// Timers that tick only when the test says so: 1 is the first made (the
// progress poll), 2 the second.
class manual_timers : public kelb::timer_service {
public:
    struct timer_state {
        int number = 0;
        unsigned interval = 0;
        bool enabled = false;
        std::function<void()> tick;
        std::vector<std::string>* switches = nullptr;
    };
    std::unique_ptr<kelb::poll_timer> create_timer(unsigned interval_ms, std::function<void()> tick) override;
    bool enabled(int which) const { return timers_.at(which - 1)->enabled; }
    unsigned interval(int which) const { return timers_.at(which - 1)->interval; }
    void tick(int which);  // only if enabled
    std::vector<std::string> switches;  // "enable 2", "disable 1", ... in order

private:
    std::vector<std::shared_ptr<timer_state>> timers_;
};

// The events as lines ("Progress 45", "ErrorCode 0 No error", "Finished"),
// with room for a handler's own action after each.
class recorded_events : public kelb::control_events {
public:
    void Progress(int32_t& Progressvalue) override;
    void ErrorCode(int32_t& ErrorNumber, text& ErrorDescription) override;
    void Finished() override;
    bool finished() const { return !lines.empty() && lines.back() == "Finished"; }

    std::function<void(int32_t&)> on_progress;
    std::function<void(int32_t&, text&)> on_error_code;
    std::function<void()> on_finished;
    std::vector<std::string> lines;
};

// Checks that lines are one whole job: Progress 0, percentages of at most
// 97, Progress 100, the ErrorCode line given, Finished.
void expect_whole_job(const std::vector<std::string>& lines, const std::string& error_code_line);

// One control with its own events and timers, as a host's form holds it.
struct control_on_form {
    recorded_events events;
    manual_timers timers;
    std::unique_ptr<kelb::KELBzip2> control = std::make_unique<kelb::KELBzip2>(events, timers);

    // Ticks both timers, progress poll first, until Finished or the bound.
    bool tick_until_finished(std::chrono::milliseconds bound = std::chrono::seconds(300));
};

// The stand-in engine of scripted_engine.cpp, through a handle of the test's
// own, so that its state outlives the controls that load and release it.
class scripted_engine {
public:
    scripted_engine();
    ~scripted_engine();
    std::vector<std::string> calls() const;  // one line per call since the last clear
    void clear_calls() { symbol<void (*)()>("scripted_clear_log")(); }
    void set_progress(int32_t percent) { symbol<void (*)(int32_t)>("scripted_set_progress")(percent); }
    void answer_utf8names(int32_t answer) { symbol<void (*)(int32_t)>("scripted_answer_utf8names")(answer); }
    void finish(int32_t code) { symbol<void (*)(int32_t)>("scripted_finish")(code); }

private:
    template <typename Fn>
    Fn symbol(const char* name) const
    {
        return reinterpret_cast<Fn>(find(name));
    }
    void* find(const char* name) const;
    void* handle_ = nullptr;
};

std::string engine_dir();           // the real engine's directory
std::string scripted_engine_dir();  // the scripted one's
std::string engine_file_in(const std::string& dir);
std::string no_entry_library();

}  // namespace ctl
