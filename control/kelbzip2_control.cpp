#include "kelbzip2_control.h"

#include "common_dialog.h"
#include "product.h"
#include "result_codes.h"

#include <mutex>

namespace kelb {

// The outcome of one started job. The engine keeps the code of its last job
// only until the next one starts, and its one job slot serves every control
// of the process; so whoever starts the next job first reads the code into
// this record, and the control that owns it reports it from there.
struct job_outcome {
    bool known = false;
    int32_t code = 0;
};

namespace {

std::mutex outcomes_lock;
// The job the engine ran last, while nobody has read its code.
std::shared_ptr<job_outcome> unread_job;

bool known(const std::shared_ptr<job_outcome>& job)
{
    std::lock_guard<std::mutex> hold(outcomes_lock);
    return job->known;
}

}  // namespace

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
    {
        // Nobody is left to report that job's end.
        std::lock_guard<std::mutex> hold(outcomes_lock);
        if (job_ && unread_job == job_)
            unread_job.reset();
    }
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
        mode.clear();
        command = u"compressbzip3";
        break;
    case job_method::decompress:
        break;
    case job_method::decompress_bzip3:
        command = u"decompressbzip3";
        break;
    }

    // The previous job's end comes before this job's first event. Its
    // handlers may have done anything, so the engine is asked afresh.
    if (collect_previous(zip)) {
        auto alive = alive_;
        raise_end();
        if (!*alive)
            return;
        return start_job(method, Inputfile, OutPutFile, CompressionLevel);
    }
    if (method == job_method::compress_bzip3)
        zip.CallWindowInt(u"setlevel", CompressionLevel, 0, 0);

    job_ = std::make_shared<job_outcome>();
    {
        std::lock_guard<std::mutex> hold(outcomes_lock);
        unread_job = job_;
    }
    // Announced before the worker exists, so that no second job slips in.
    zip.CallWindowInt(u"status", 1, 0, 0);
    zip.CallWindow(command, input, output, mode);
    Timer2->set_enabled(true);
    Timer1->set_enabled(true);
    int32_t started = 0;
    events_.Progress(started);
}

bool KELBzip2::collect_previous(ZipClass& zip)
{
    bool own_known = false;
    {
        std::lock_guard<std::mutex> hold(outcomes_lock);
        if (unread_job) {
            unread_job->code = zip.CallWindowInt(u"intreturn", 0, 0, 0);
            unread_job->known = true;
            unread_job.reset();
        }
        own_known = job_ && job_->known;
    }
    if (own_known)
        begin_end();
    return end_events_ > 0;
}

void KELBzip2::begin_end()
{
    {
        std::lock_guard<std::mutex> hold(outcomes_lock);
        end_code_ = job_->code;
    }
    job_.reset();
    end_events_ = 3;
    Timer2->set_enabled(false);
    Timer1->set_enabled(false);
}

void KELBzip2::raise_end()
{
    // Each event is counted off before it is raised, so that a job started
    // from a handler raises the rest of this end before its own start.
    auto alive = alive_;
    while (*alive && end_events_ > 0) {
        int left = end_events_--;
        if (left == 3) {
            int32_t complete = 100;
            events_.Progress(complete);
        } else if (left == 2) {
            RaiseErrorCode(end_code_);
        } else {
            events_.Finished();
        }
    }
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
    // Once this control's job has ended, the engine's progress is another job's.
    if (!job_ || known(job_))
        return;
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
    if (!bridge_ || !job_)
        return;
    {
        // Unless a later start has read it already, the code is read here,
        // before any handler runs and could start the next job.
        std::lock_guard<std::mutex> hold(outcomes_lock);
        if (!job_->known) {
            if (bridge_->CallWindowInt(u"status", 0, 0, 0) != 0)
                return;
            job_->code = bridge_->CallWindowInt(u"intreturn", 0, 0, 0);
            job_->known = true;
            if (unread_job == job_)
                unread_job.reset();
        }
    }
    begin_end();
    raise_end();
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
