#include "kelbzip2_control.h"

#include "common_dialog.h"
#include "product.h"
#include "result_codes.h"

namespace kelb {

KELBzip2::KELBzip2(control_events& events, timer_service& timers)
    : events_(events),
      Timer1(timers.create_timer(poll_interval_ms, [this] { Timer1_Timer(); })),
      Timer2(timers.create_timer(poll_interval_ms, [this] { Timer2_Timer(); }))
{
}

KELBzip2::~KELBzip2()
{
    *alive_ = false;
    Timer1->set_enabled(false);
    Timer2->set_enabled(false);
    // No job may run on once its engine is gone.
    CancelCompress();
    if (bridge_ && bridge_->IsLoaded())
        bridge_->Deinit();
}

ZipClass& KELBzip2::engine()
{
    if (!bridge_)
        bridge_ = std::make_unique<ZipClass>();
    bridge_->Init(false);
    return *bridge_;
}

void KELBzip2::Compress(text Inputfile, text OutPutFile, int32_t CompressionLevel)
{
    start_job(job_method::compress, Inputfile, OutPutFile, CompressionLevel);
}

void KELBzip2::CompressBzip3(text Inputfile, text OutPutFile, int32_t CompressionLevel)
{
    start_job(job_method::compress_bzip3, Inputfile, OutPutFile, CompressionLevel);
}

void KELBzip2::Decompress(text Inputfile, text OutPutFile)
{
    start_job(job_method::decompress, Inputfile, OutPutFile, 0);
}

void KELBzip2::DecompressBzip3(text Inputfile, text OutPutFile)
{
    start_job(job_method::decompress_bzip3, Inputfile, OutPutFile, 0);
}

void KELBzip2::start_job(job_method method, const text& Inputfile, const text& OutPutFile,
                         int32_t CompressionLevel)
{
    ZipClass& zip = engine();
    // The engine has one job slot per process, whichever control filled it.
    if (zip.CallWindowInt(u"status", 0, 0, 0) == 1)
        return RaiseErrorCode(code_already_running);
    // Two names of one file (other spelling, links) are refused like equal ones.
    if (zip.CheckForEquality(Inputfile, OutPutFile) || control_platform().same_file(Inputfile, OutPutFile))
        return RaiseErrorCode(code_same_names);
    if (zip.CheckForEmpty(Inputfile))
        return RaiseErrorCode(code_input_empty);
    if (zip.CheckForEmpty(OutPutFile))
        return RaiseErrorCode(code_output_empty);

    text input = Inputfile + u'\0';
    text output = OutPutFile + u'\0';
    text mode = u"w9";
    const char16_t* command = u"decompress";
    switch (method) {
    case job_method::compress:
        if (CompressionLevel < 0 || CompressionLevel > 9)
            return RaiseErrorCode(code_invalid_level);
        mode = text(u"w") + char16_t(u'0' + CompressionLevel) + u'\0';
        command = u"compress";
        break;
    case job_method::compress_bzip3:
        if (CompressionLevel < 1 || CompressionLevel > 9)
            return RaiseErrorCode(code_invalid_level);
        zip.CallWindowInt(u"setlevel", CompressionLevel, 0, 0);
        mode.clear();
        command = u"compressbzip3";
        break;
    case job_method::decompress:
        break;
    case job_method::decompress_bzip3:
        command = u"decompressbzip3";
        break;
    }

    // Announced before the worker exists, so that no second job slips in.
    zip.CallWindowInt(u"status", 1, 0, 0);
    zip.CallWindow(command, input, output, mode);
    Timer2->set_enabled(true);
    Timer1->set_enabled(true);
    int32_t started = 0;
    events_.Progress(started);
}

void KELBzip2::PauseCompress()
{
    if (bridge_ && bridge_->IsLoaded())
        bridge_->CallWindowInt(u"pause", 0, 0, 0);
}

void KELBzip2::ResumeCompress()
{
    if (bridge_ && bridge_->IsLoaded())
        bridge_->CallWindowInt(u"bresume", 0, 0, 0);
}

void KELBzip2::CancelCompress()
{
    if (bridge_ && bridge_->IsLoaded())
        bridge_->CallWindowInt(u"cancel", 0, 0, 0);
}

bool KELBzip2::Status() { return engine().CallWindowLONG(u"thestatus", 0, 0, 0) != 0; }

void KELBzip2::Timer1_Timer()
{
    int32_t percent = engine().CallWindowInt(u"getprogress", 0, 0, 0);
    if (percent != LastProgress_) {
        auto alive = alive_;
        // 100 belongs to the completion poll: while the job runs, 97 at most.
        if (percent <= 97) {
            events_.Progress(percent);  // what the handler writes here is remembered
        } else {
            int32_t capped = 97;
            events_.Progress(capped);
        }
        if (!*alive)
            return;
    }
    LastProgress_ = percent;
}

void KELBzip2::Timer2_Timer()
{
    if (!bridge_ || bridge_->CallWindowInt(u"status", 0, 0, 0) != 0)
        return;
    Timer2->set_enabled(false);
    Timer1->set_enabled(false);
    // Read before any handler runs: one that starts the next job would
    // otherwise have this job reported with the next one's code.
    int32_t code = bridge_->CallWindowInt(u"intreturn", 0, 0, 0);

    auto alive = alive_;
    int32_t complete = 100;
    events_.Progress(complete);
    if (!*alive)
        return;
    RaiseErrorCode(code);
    if (!*alive)
        return;
    events_.Finished();
}

void KELBzip2::RaiseErrorCode(int32_t code)
{
    const char16_t* message = result_message(code);
    int32_t number = message ? code : code_unexpected;
    text description = message ? message : result_message(code_unexpected);
    events_.ErrorCode(number, description);
}

text KELBzip2::ControlName() const { return control_title; }

text KELBzip2::GetCPUVendor()
{
    ZipClass& zip = engine();
    text command = u"getcpuname", answer(300, u' '), unused = u" ";
    zip.CallWindow2(command, answer, unused, 0);
    return answer;
}

text KELBzip2::GetCPUBrandString()
{
    ZipClass& zip = engine();
    text command = u"getbrandstring", answer(300, u' '), unused = u" ";
    zip.CallWindow2(command, answer, unused, 0);
    return answer;
}

void KELBzip2::About() { control_platform().message_box(about_text, control_title); }

text KELBzip2::OpenFile(text Title, text Filter, text InitDir)
{
    pcCommonDialog dialog;
    open_file_options options;
    options.FileMustExist = false;
    options.Filter = Filter;
    options.InitDir = InitDir;
    options.DlgTitle = Title;
    return dialog.VBGetOpenFileName(options) ? options.Filename : text();
}

}  // namespace kelb
