// What the control's tests share: the platform, a form with hand-ticked timers, the scripted engine.
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
std::basic_string<Char> with_nuls(const Char (&literal)[N]) { return {literal, N - 1}; }
inline std::string engine_file_in(const std::string& dir)
{
    return dir + narrow(text(1, kelb::real_control_platform().path_separator) + kelb::real_control_platform().engine_file);
}

// The real platform, but its directory, message boxes, loads and frees, and open-file dialog are the test's.
struct platform_double {
    text directory;
    lines message_boxes;
    int loads = 0, frees = 0;
    std::function<int32_t(kelb::open_file_request&)> dialog;
    static inline platform_double* in_use = nullptr;
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

// A host's form with one control: events as lines, then the test's handler; timers 1 (progress), 2 (end)
// tick only when the test says so.
struct control_on_form : kelb::control_events, kelb::timer_service {
    struct timer : kelb::poll_timer {
        timer(control_on_form& form, std::function<void()> tick) : form(form), tick(std::move(tick)) {}
        ~timer() override { form.timers[number - 1] = nullptr; }
        void set_enabled(bool on) override { enabled = on; }
        control_on_form& form;
        std::function<void()> tick;
        int number = int(form.timers.size()) + 1;
        bool enabled = false;
    };
    std::unique_ptr<kelb::poll_timer> create_timer(unsigned, std::function<void()> tick) override
    {
        timers.push_back(new timer(*this, std::move(tick)));
        return std::unique_ptr<kelb::poll_timer>(timers.back());
    }
    bool enabled(int which) const { return timers[which - 1] && timers[which - 1]->enabled; }
    void tick(int which)
    {
        if (enabled(which))
            std::function<void()>(timers[which - 1]->tick)();  // a copy: a handler may destroy the control
    }
    void Progress(int32_t& value) override { record("Progress " + std::to_string(value), &value); }
    void ErrorCode(int32_t& n, text& d) override { record("ErrorCode " + std::to_string(n) + " " + narrow(d), nullptr); }
    void Finished() override { record("Finished", nullptr); }
    void record(const std::string& line, int32_t* progress)
    {
        events.push_back(line);
        then(progress);
    }

    std::vector<timer*> timers;
    lines events;
    std::function<void(int32_t*)> then = [](int32_t*) {};
    std::unique_ptr<kelb::KELBzip2> control = std::make_unique<kelb::KELBzip2>(*this, *this);
};

// The scripted engine through a handle of the test's own, so that its state outlives the controls; reset when made.
struct scripted_engine {
    const kelb::control_platform_ops& os = kelb::real_control_platform();
    void* handle = os.load_library(engine_file_in(kelbtest::host_path(KELB_SCRIPTED_ENGINE_DIR)));
    std::string set(const char* what, int32_t value = 0)
    {
        return reinterpret_cast<const char* (*)(const char*, int32_t)>(os.find_entry(handle, "scripted"))(what, value);
    }
    std::string calls() { return set("log"); }  // one line a call
    scripted_engine()
    {
        set("finish");
        set("progress");
        set("utf8names", 15);
        calls();
    }
};

}  // namespace ctl
