// What the control's tests share: a platform whose own directory the test
// chooses, a form with hand-ticked timers and recorded events, the scripted engine.
#pragma once

#include "control_platform.h"
#include "kelbzip2_control.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace ctl {

using kelb::text;
using lines = std::vector<std::string>;

inline std::string narrow(const text& value) { return kelb::real_control_platform().to_code_page(value); }
template <typename Char, size_t N>
std::basic_string<Char> with_nuls(const Char (&literal)[N])
{
    return std::basic_string<Char>(literal, N - 1);
}
inline std::string engine_file_in(const std::string& dir)
{
    const kelb::control_platform_ops& os = kelb::real_control_platform();
    return dir + narrow(text(1, os.path_separator) + os.engine_file);
}

// The real platform, but the control's own directory is the test's, message boxes
// are recorded, loads and frees counted, and the open-file dialog is the test's.
struct platform_double {
    text directory;
    lines message_boxes;
    int loads = 0, frees = 0;
    std::function<int32_t(kelb::open_file_request&)> dialog;

    static platform_double* in_use;
    explicit platform_double(const std::string& dir) : directory(kelb::real_control_platform().from_code_page(dir))
    {
        static kelb::control_platform_ops ops = kelb::real_control_platform();
        ops.module_directory = [] { return in_use->directory; };
        ops.message_box = [](const text& message, const text&) { in_use->message_boxes.push_back(narrow(message)); };
        ops.load_library = [](const std::string& path) {
            void* library = kelb::real_control_platform().load_library(path);
            in_use->loads += library != nullptr;
            return library;
        };
        ops.free_library = [](void* library) {
            ++in_use->frees;
            kelb::real_control_platform().free_library(library);
        };
        ops.show_open_dialog = [](kelb::open_file_request& request) { return in_use->dialog(request); };
        ops.dialog_extended_error = [] { return 0x3003u; };
        in_use = this;
        kelb::use_control_platform(&ops);
    }
    ~platform_double() { kelb::use_control_platform(nullptr); }
};
inline platform_double* platform_double::in_use = nullptr;

// A host's form holding one control: its events as lines ("Progress 45",
// "ErrorCode 0 No error", "Finished"), each followed by the test's handler,
// and its two timers (1 the progress poll, 2 the completion poll), which
// tick only when the test says so.
struct control_on_form : kelb::control_events, kelb::timer_service {
    struct timer : kelb::poll_timer {
        timer(control_on_form& form, std::function<void()> tick) : form(form), tick(std::move(tick)) {}
        ~timer() override { form.timers[number - 1] = nullptr; }
        void set_enabled(bool on) override
        {
            if (on != enabled)
                form.switches.push_back((on ? "enable " : "disable ") + std::to_string(number));
            enabled = on;
        }
        control_on_form& form;
        std::function<void()> tick;
        int number = int(form.timers.size()) + 1;
        bool enabled = false;
    };
    std::unique_ptr<kelb::poll_timer> create_timer(unsigned interval_ms, std::function<void()> tick) override
    {
        intervals.push_back(interval_ms);
        timers.push_back(new timer(*this, std::move(tick)));
        return std::unique_ptr<kelb::poll_timer>(timers.back());
    }
    bool enabled(int which) const { return timers[which - 1] && timers[which - 1]->enabled; }
    void tick(int which)
    {
        if (!enabled(which))
            return;
        auto tick = timers[which - 1]->tick;  // a copy: a handler may destroy the control
        tick();
    }
    void Progress(int32_t& value) override { record("Progress " + std::to_string(value), &value); }
    void ErrorCode(int32_t& number, text& description) override
    {
        record("ErrorCode " + std::to_string(number) + " " + narrow(description), nullptr);
    }
    void Finished() override { record("Finished", nullptr); }
    void record(const std::string& line, int32_t* progress)
    {
        events.push_back(line);
        if (then)
            then(progress);
    }

    std::vector<timer*> timers;
    std::vector<unsigned> intervals;
    lines switches;  // "enable 2", "disable 1", ... in order
    lines events;
    std::function<void(int32_t*)> then;
    std::unique_ptr<kelb::KELBzip2> control = std::make_unique<kelb::KELBzip2>(*this, *this);
};

// The scripted engine through a handle of the test's own, so that its state outlives the controls that
// load and release it. Reset when made.
struct scripted_engine {
    const kelb::control_platform_ops& os = kelb::real_control_platform();
    void* handle = os.load_library(engine_file_in(kelbtest::host_path(KELB_SCRIPTED_ENGINE_DIR)));
    scripted_engine() { set("reset"); }
    void set(const char* what, int32_t value = 0)
    {
        reinterpret_cast<void (*)(const char*, int32_t)>(os.find_entry(handle, "scripted_set"))(what, value);
    }
    // The calls since the last look, each ended by a newline.
    std::string calls() { return reinterpret_cast<const char* (*)()>(os.find_entry(handle, "scripted_log"))(); }
};

}  // namespace ctl
