// The Linux shell: KELBzip2 as a C++ class with UTF-8 texts, its timers on
// the host's event loop, and the bridge's errors as exceptions.
#include "event_loop_state.h"

#include "kelbzip2.h"
#include "kelbzip2_control.h"

namespace kelbzip2 {

namespace {

kelb::text wide(const text_arg& value) { return kelb::control_platform().from_code_page(value.str()); }

std::string narrow(const kelb::text& value) { return kelb::control_platform().to_code_page(value); }

// Runs one method of the core, turning its host errors into ours.
template <typename Method>
auto translating_errors(Method method) -> decltype(method())
{
    try {
        return method();
    } catch (const kelb::host_error& e) {
        throw engine_error(e.number(), narrow(e.description()));
    }
}

}  // namespace

events::~events() = default;
void events::Progress(int32_t&) {}
void events::ErrorCode(int32_t&, std::string&) {}
void events::Finished() {}

engine_error::engine_error(int32_t number, const std::string& description)
    : std::runtime_error(description), number_(number)
{
}

// The host's handlers, as the core raises events: texts in UTF-8, and a
// written Progressvalue passed back.
struct KELBzip2::parts : kelb::control_events {
    parts(event_loop::state& loop, events& handlers) : handlers(handlers), control(*this, loop) {}

    void Progress(int32_t& Progressvalue) override { handlers.Progress(Progressvalue); }
    void ErrorCode(int32_t& ErrorNumber, kelb::text& ErrorDescription) override
    {
        std::string description = narrow(ErrorDescription);
        handlers.ErrorCode(ErrorNumber, description);
    }
    void Finished() override { handlers.Finished(); }

    events& handlers;
    kelb::KELBzip2 control;
};

KELBzip2::KELBzip2(event_loop& loop, events& handlers) : parts_(std::make_unique<parts>(*loop.state_, handlers)) {}

KELBzip2::~KELBzip2() = default;

void KELBzip2::Compress(text_arg Inputfile, text_arg OutPutFile, int32_t CompressionLevel)
{
    translating_errors([&] { parts_->control.Compress(wide(Inputfile), wide(OutPutFile), CompressionLevel); });
}

void KELBzip2::CompressBzip3(text_arg Inputfile, text_arg OutPutFile, int32_t CompressionLevel)
{
    translating_errors([&] { parts_->control.CompressBzip3(wide(Inputfile), wide(OutPutFile), CompressionLevel); });
}

void KELBzip2::Decompress(text_arg Inputfile, text_arg OutPutFile)
{
    translating_errors([&] { parts_->control.Decompress(wide(Inputfile), wide(OutPutFile)); });
}

void KELBzip2::DecompressBzip3(text_arg Inputfile, text_arg OutPutFile)
{
    translating_errors([&] { parts_->control.DecompressBzip3(wide(Inputfile), wide(OutPutFile)); });
}

void KELBzip2::PauseCompress() { parts_->control.PauseCompress(); }
void KELBzip2::ResumeCompress() { parts_->control.ResumeCompress(); }
void KELBzip2::CancelCompress() { parts_->control.CancelCompress(); }

bool KELBzip2::Status()
{
    return translating_errors([&] { return parts_->control.Status(); });
}

std::string KELBzip2::ControlName() const { return narrow(parts_->control.ControlName()); }

std::string KELBzip2::GetCPUVendor()
{
    return translating_errors([&] { return narrow(parts_->control.GetCPUVendor()); });
}

std::string KELBzip2::GetCPUBrandString()
{
    return translating_errors([&] { return narrow(parts_->control.GetCPUBrandString()); });
}

void KELBzip2::About() { parts_->control.About(); }

std::string KELBzip2::OpenFile(text_arg Title, text_arg Filter, text_arg InitDir)
{
    return translating_errors(
        [&] { return narrow(parts_->control.OpenFile(wide(Title), wide(Filter), wide(InitDir))); });
}

int32_t KELBzip2::LastProgress() const { return parts_->control.LastProgress(); }

void set_message_box(std::function<void(const std::string&, const std::string&)> show)
{
    if (!show) {
        kelb::set_message_box(nullptr);
        return;
    }
    kelb::set_message_box(
        [show](const kelb::text& message, const kelb::text& caption) { show(narrow(message), narrow(caption)); });
}

void set_file_chooser(
    std::function<std::string(const std::string&, const std::vector<file_filter>&, const std::string&)> choose)
{
    if (!choose) {
        kelb::set_open_dialog(nullptr);
        return;
    }
    kelb::set_open_dialog([choose](kelb::open_file_request& request) -> int32_t {
        // The filter list: description, pattern, ... each ended by a NUL.
        std::vector<file_filter> filters;
        for (size_t at = 0; at < request.filter.size() && request.filter[at] != '\0';) {
            std::string description = request.filter.c_str() + at;
            at += description.size() + 1;
            std::string pattern = at < request.filter.size() ? request.filter.c_str() + at : "";
            at += pattern.size() + 1;
            filters.push_back({description, pattern});
        }
        std::string chosen = choose(request.title, filters, request.initial_dir);
        if (chosen.empty())
            return 0;
        // The answer must fit the dialog's buffer with its NUL.
        if (chosen.size() >= request.file.size())
            return -1;
        request.file.replace(0, chosen.size() + 1, chosen.c_str(), chosen.size() + 1);
        std::string title = chosen.substr(chosen.rfind('/') + 1);
        if (title.size() < request.file_title.size())
            request.file_title.replace(0, title.size() + 1, title.c_str(), title.size() + 1);
        return 1;
    });
}

}  // namespace kelbzip2
