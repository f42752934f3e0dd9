// The KELBzip2 control's behaviour, free of any component framework: the
// job methods with their checks, the two poll timers that turn the engine's
// state into events, pause, resume, cancel and teardown. A shell (COM on
// Windows, a C++ class on Linux) gives it an event sink and a timer service.
#pragma once

#include "control_platform.h"
#include "zipclass.h"

#include <functional>
#include <memory>

namespace kelb {

struct job_outcome;

// The host's handlers. Arguments are by reference, as hosts declare them;
// of what a handler writes, only a Progressvalue ever has an effect.
class control_events {
public:
    virtual ~control_events() = default;
    virtual void Progress(int32_t& Progressvalue) = 0;
    virtual void ErrorCode(int32_t& ErrorNumber, text& ErrorDescription) = 0;
    virtual void Finished() = 0;
};

// A timer of the host's that ticks on the control's thread while enabled.
class poll_timer {
public:
    virtual ~poll_timer() = default;
    virtual void set_enabled(bool enabled) = 0;
};

class timer_service {
public:
    virtual ~timer_service() = default;
    // A new timer, disabled, that calls tick every interval_ms while enabled.
    // No tick comes once the timer is destroyed.
    virtual std::unique_ptr<poll_timer> create_timer(unsigned interval_ms, std::function<void()> tick) = 0;
};

class KELBzip2 {
public:
    static constexpr unsigned poll_interval_ms = 100;

    KELBzip2(control_events& events, timer_service& timers);
    // Cancels a running job and waits until its worker has stopped, then
    // releases the engine. A handler may destroy the control it serves.
    ~KELBzip2();
    KELBzip2(const KELBzip2&) = delete;
    KELBzip2& operator=(const KELBzip2&) = delete;

    // The job methods: a refusal is an ErrorCode event during the call; a
    // started job reports Progress 0 now, its end later from the timers.
    // They throw host_error when the engine cannot be loaded.
    void Compress(text Inputfile, text OutPutFile, int32_t CompressionLevel);
    void CompressBzip3(text Inputfile, text OutPutFile, int32_t CompressionLevel);
    void Decompress(text Inputfile, text OutPutFile);
    void DecompressBzip3(text Inputfile, text OutPutFile);

    // Act only when this control has loaded the engine. Cancel returns once
    // the job's worker has stopped.
    void PauseCompress();
    void ResumeCompress();
    void CancelCompress();

    // True while the engine marks a job as running.
    bool Status();

    text ControlName() const;
    text GetCPUVendor();
    text GetCPUBrandString();
    void About();
    // The chosen file's full path, or an empty text.
    text OpenFile(text Title, text Filter, text InitDir);

    // The last percentage the progress poll read; not reset between jobs.
    int32_t LastProgress() const { return LastProgress_; }

    // The two timers' ticks: the progress poll and the completion poll.
    void Timer1_Timer();
    void Timer2_Timer();

private:
    enum class job_method { compress, compress_bzip3, decompress, decompress_bzip3 };

    void start_job(job_method method, const text& Inputfile, const text& OutPutFile, int32_t CompressionLevel);
    // Reads, for its owner, the code of the last job the engine ran if nobody
    // has yet (the engine is idle). True when this control has an end to raise.
    bool collect_previous(ZipClass& zip);
    // Takes this control's job, whose code is known, as the end to raise.
    void begin_end();
    // Raises what is left of that end: Progress 100, ErrorCode, Finished.
    void raise_end();
    // The bridge with the engine loaded.
    ZipClass& engine();
    void RaiseErrorCode(int32_t code);

    control_events& events_;
    std::unique_ptr<ZipClass> bridge_;
    std::unique_ptr<poll_timer> Timer1;
    std::unique_ptr<poll_timer> Timer2;
    int32_t LastProgress_ = 0;
    // The job this control started and has not yet begun to report.
    std::shared_ptr<job_outcome> job_;
    // Its end while being raised: the code and how many events are left.
    int32_t end_code_ = 0;
    int end_events_ = 0;
    // Cleared when the control is destroyed, which a handler may do.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace kelb
