// The engine's single job slot: the state shared by the caller's thread and
// the job's worker, and the protocol every job follows.
//
// The two threads share these variables without locks. Each is an atomic
// with plain loads and stores, one writer at a time; the end of a job is
// published by storing job_result before job_running falls (release/acquire).
#pragma once

#include <atomic>
#include <cstdint>

namespace kelb {

constexpr int text_buffer_size = 256;
// With "utf8names" on, a name may take up to 32,767 UTF-16 units, as the
// wide calls allow; three UTF-8 bytes at most for each.
constexpr int max_name_units = 32767;
constexpr int name_buffer_size = max_name_units * 3 + 1;

enum job_kind_t : int32_t {
    job_bzip2_compress = 0,
    job_bzip2_decompress = 1,
    job_bzip3_compress = 2,
    job_bzip3_decompress = 3,
};

extern std::atomic<int32_t> job_running;
extern std::atomic<int32_t> job_paused;
extern std::atomic<int32_t> job_cancel;
extern std::atomic<int32_t> job_kind;
extern std::atomic<int32_t> job_result;
// 64-bit so that bzip2 jobs on files beyond 2 GiB still report a percentage.
extern std::atomic<int64_t> bytes_total;
extern std::atomic<int64_t> bytes_done;
extern std::atomic<int32_t> percent_done;
extern std::atomic<int32_t> progress_by_percent;
extern std::atomic<int32_t> bzip3_level;
// "utf8names": the names of the jobs that follow are UTF-8.
extern std::atomic<bool> utf8_names_requested;
extern char job_source[name_buffer_size];
extern char job_target[name_buffer_size];
extern char job_mode[text_buffer_size];

// Result codes the jobs share.
constexpr int32_t result_ok = 0;
constexpr int32_t result_same_file = 2;
constexpr int32_t result_cancelled = 119;

// Clears the pause and cancel requests and the progress, copies the texts,
// chooses how progress is read, and starts the worker.
// Texts that are missing or do not fit (255 bytes, or for names in UTF-8
// 32,767 UTF-16 units) end the job at once with the kind's open-failure code. Returns false
// only when another job's worker is still busy (nothing is changed then).
bool start_job(const char* source, const char* target, const char* mode, job_kind_t kind);

// Every job's first step: marks the slot running.
void begin_job();

// The once-per-chunk pause and cancel point: waits in 50 ms sleeps while
// paused, and tells whether the job must stop.
bool job_must_stop();

// "cancel": asks the job to stop and waits until it has.
void cancel_job();

int32_t get_progress();
int32_t percent_of(int64_t total, int64_t done);

}  // namespace kelb
