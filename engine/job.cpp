#include "job.h"

#include "jobs.h"
#include "platform.h"

#include <cstring>

namespace kelb {

std::atomic<int32_t> job_running{0};
std::atomic<int32_t> job_paused{0};
std::atomic<int32_t> job_cancel{0};
std::atomic<int32_t> job_kind{0};
std::atomic<int32_t> job_result{0};
std::atomic<int64_t> bytes_total{0};
std::atomic<int64_t> bytes_done{0};
std::atomic<int32_t> percent_done{0};
std::atomic<int32_t> progress_by_percent{0};
std::atomic<int32_t> bzip3_level{6};
std::atomic<bool> utf8_names_requested{false};
char job_source[name_buffer_size];
char job_target[name_buffer_size];
char job_mode[text_buffer_size];

namespace {

// Set while a worker owns the name buffers; cleared just before the job's
// end is published, so a caller that saw the end may start the next job.
std::atomic<bool> worker_busy{false};

int32_t open_failure_code(job_kind_t kind, bool source_side)
{
    switch (kind) {
    case job_bzip2_compress:
    case job_bzip2_decompress:
        return source_side ? 8 : 9;
    default:
        return source_side ? 107 : 108;
    }
}

// What a job ends with when its worker cannot even be started: the kind's
// "cannot get going" message (bzip2: unexpected error; Bzip3: cannot initialize).
int32_t no_thread_code(job_kind_t kind)
{
    switch (kind) {
    case job_bzip2_compress: return 11;
    case job_bzip2_decompress: return 12;
    case job_bzip3_compress: return 120;
    default: return 121;
    }
}

bool fits(const char* text) { return text && memchr(text, 0, text_buffer_size) != nullptr; }

// A name's UTF-16 length counts one unit per character, two beyond the
// basic plane (a four-byte sequence).
bool name_fits(const char* name, bool utf8)
{
    if (!utf8)
        return fits(name);
    if (!name || !memchr(name, 0, name_buffer_size))
        return false;
    int units = 0;
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(name); *c; ++c)
        if ((*c & 0xC0) != 0x80)
            units += *c >= 0xF0 ? 2 : 1;
    return units <= max_name_units;
}

void finish_without_worker(int32_t code)
{
    job_result.store(code, std::memory_order_relaxed);
    job_running.store(0, std::memory_order_release);
}

int32_t run_job(job_kind_t kind)
{
    // Overwriting the source with its own output would destroy it, whatever
    // the two names look like.
    if (platform().same_file(job_source, job_target))
        return result_same_file;
    switch (kind) {
    case job_bzip2_compress: return compress_bzip2_file(job_source, job_target, job_mode);
    case job_bzip2_decompress: return decompress_bzip2_file(job_source, job_target);
    case job_bzip3_compress: return compress_bzip3_file(job_source, job_target, bzip3_level.load());
    case job_bzip3_decompress: return decompress_bzip3_file(job_source, job_target);
    }
    return 255;
}

void job_thread()
{
    job_result.store(0, std::memory_order_relaxed);
    int32_t code = run_job(static_cast<job_kind_t>(job_kind.load()));
    job_result.store(code, std::memory_order_relaxed);
    worker_busy.store(false, std::memory_order_release);
    job_running.store(0, std::memory_order_release);
}

}  // namespace

bool start_job(const char* source, const char* target, const char* mode, job_kind_t kind)
{
    if (worker_busy.load(std::memory_order_acquire))
        return false;
    // The requests and the progress are this job's from here on: a pause sent
    // before its worker gets going must hold it, and no poll may show the
    // previous job's progress.
    job_paused.store(0);
    job_cancel.store(0);
    bytes_total.store(0);
    bytes_done.store(0);
    percent_done.store(0);
    // Bzip3 jobs publish a percentage; bzip2 jobs publish byte counts.
    progress_by_percent.store(kind == job_bzip3_compress || kind == job_bzip3_decompress ? 1 : 0);
    bool utf8 = utf8_names_requested.load();
    if (!name_fits(source, utf8)) {
        finish_without_worker(open_failure_code(kind, true));
        return true;
    }
    // The mode text describes the output, so a bad one counts against the target.
    if (!name_fits(target, utf8) || !fits(mode)) {
        finish_without_worker(open_failure_code(kind, false));
        return true;
    }
    strcpy(job_source, source);
    strcpy(job_target, target);
    strcpy(job_mode, mode);
    job_kind.store(kind);
    names_in_utf8.store(utf8);
    worker_busy.store(true, std::memory_order_relaxed);
    if (!platform().start_thread(job_thread)) {
        worker_busy.store(false, std::memory_order_relaxed);
        finish_without_worker(no_thread_code(kind));
    }
    return true;
}

void begin_job() { job_running.store(1); }

bool job_must_stop()
{
    while (job_paused.load()) {
        if (job_cancel.load())
            return true;
        platform().sleep_ms(50);
    }
    return job_cancel.load() != 0;
}

void cancel_job()
{
    while (job_running.load(std::memory_order_acquire) != 0) {
        job_cancel.store(1);
        platform().sleep_ms(50);
    }
    job_cancel.store(1);
}

int32_t percent_of(int64_t total, int64_t done)
{
    if (total == 0)
        return 0;
    // 100 / total first, then times done: percent_of(97, 97) is 99, as callers expect.
    double percent = 100.0 / static_cast<double>(total) * static_cast<double>(done);
    if (percent >= 2147483647.0)
        return 2147483647;
    if (percent <= -2147483648.0)
        return -2147483647 - 1;
    return static_cast<int32_t>(percent);
}

int32_t get_progress()
{
    int32_t value = progress_by_percent.load() ? percent_done.load()
                                               : percent_of(bytes_total.load(), bytes_done.load());
    if (value > 100)
        value = 100;
    if (value < 0)
        value = 0;
    if (job_running.load() == 1 && value > 98)
        value = 99;
    return value;
}

}  // namespace kelb
