#include "control_fixture.h"

#include <sstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace ctl {

text wide(const std::string& value) { return kelb::real_control_platform().from_code_page(value); }

std::string narrow(const text& value) { return kelb::real_control_platform().to_code_page(value); }

platform_record& platform()
{
    static platform_record record;
    return record;
}

namespace {

kelb::control_platform_ops make_double()
{
    kelb::control_platform_ops ops = kelb::real_control_platform();
    ops.module_directory = [] { return platform().directory; };
    ops.message_box = [](const text& message, const text& caption) {
        platform().message_boxes.push_back(narrow(caption) + ": " + narrow(message));
    };
    ops.load_library = [](const std::string& path) {
        void* library = kelb::real_control_platform().load_library(path);
        platform().loads += library != nullptr;
        return library;
    };
    ops.free_library = [](void* library) {
        ++platform().frees;
        kelb::real_control_platform().free_library(library);
    };
    return ops;
}
const kelb::control_platform_ops double_ops = make_double();

class manual_timer : public kelb::poll_timer {
public:
    explicit manual_timer(std::shared_ptr<manual_timers::timer_state> state) : state_(std::move(state)) {}
    ~manual_timer() override { state_->tick = nullptr; }
    void set_enabled(bool enabled) override
    {
        if (enabled != state_->enabled)
            state_->switches->push_back((enabled ? "enable " : "disable ") + std::to_string(state_->number));
        state_->enabled = enabled;
    }

private:
    std::shared_ptr<manual_timers::timer_state> state_;
};

}  // namespace

platform_double::platform_double(const std::string& directory)
{
    platform() = platform_record{};
    platform().directory = wide(directory);
    kelb::use_control_platform(&double_ops);
}

platform_double::~platform_double() { kelb::use_control_platform(nullptr); }

std::unique_ptr<kelb::poll_timer> manual_timers::create_timer(unsigned interval_ms, std::function<void()> tick)
{
    auto state = std::make_shared<timer_state>();
    *state = timer_state{static_cast<int>(timers_.size()) + 1, interval_ms, false, std::move(tick), &switches};
    timers_.push_back(state);
    return std::make_unique<manual_timer>(state);
}

void manual_timers::tick(int which)
{
    // A copy for the call: a handler may destroy the control and its timers.
    auto tick = timers_.at(which - 1)->tick;
    if (enabled(which) && tick)
        tick();
}

void recorded_events::Progress(int32_t& Progressvalue)
{
    lines.push_back("Progress " + std::to_string(Progressvalue));
    if (on_progress)
        on_progress(Progressvalue);
}

void recorded_events::ErrorCode(int32_t& ErrorNumber, text& ErrorDescription)
{
    lines.push_back("ErrorCode " + std::to_string(ErrorNumber) + " " + narrow(ErrorDescription));
    if (on_error_code)
        on_error_code(ErrorNumber, ErrorDescription);
}

void recorded_events::Finished()
{
    lines.push_back("Finished");
    if (on_finished)
        on_finished();
}

void expect_whole_job(const std::vector<std::string>& lines, const std::string& error_code_line)
{
    std::string all;
    for (auto& line : lines)
        all += "\n  " + line;
    SCOPED_TRACE("events:" + all);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines.front(), "Progress 0");
    for (size_t i = 1; i + 3 < lines.size(); ++i) {
        ASSERT_EQ(lines[i].rfind("Progress ", 0), 0u);
        int percent = std::stoi(lines[i].substr(9));
        EXPECT_TRUE(percent >= 0 && percent <= 97) << percent;
    }
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"Progress 100", error_code_line, "Finished"}));
}

bool control_on_form::tick_until_finished(std::chrono::milliseconds bound)
{
    return kelbtest::wait_until(
        [&] {
            timers.tick(1);
            timers.tick(2);
            return events.finished();
        },
        bound);
}

scripted_engine::scripted_engine()
{
    std::string path = engine_file_in(scripted_engine_dir());
#ifdef _WIN32
    handle_ = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
    if (!handle_)
        throw std::runtime_error("cannot load " + path);
    symbol<void (*)()>("scripted_reset")();
}

scripted_engine::~scripted_engine()
{
#ifdef _WIN32
    FreeLibrary(static_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
}

void* scripted_engine::find(const char* name) const
{
#ifdef _WIN32
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
#else
    return dlsym(handle_, name);
#endif
}

std::vector<std::string> scripted_engine::calls() const
{
    std::vector<std::string> lines;
    std::istringstream in(symbol<const char* (*)()>("scripted_log")());
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string engine_dir() { return kelbtest::host_path(KELB_ENGINE_DIR); }
std::string scripted_engine_dir() { return kelbtest::host_path(KELB_SCRIPTED_ENGINE_DIR); }
std::string no_entry_library() { return kelbtest::host_path(KELB_NO_ENTRY_LIBRARY); }

std::string engine_file_in(const std::string& dir)
{
    const kelb::control_platform_ops& os = kelb::real_control_platform();
    return dir + narrow(text(1, os.path_separator) + os.engine_file);
}

}  // namespace ctl
