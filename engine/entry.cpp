// interface1 and its command table, and the library's load and unload lines.
#include "kelbzp1.h"

#include "processor.h"
#include "job.h"
#include "job_pool.h"
#include "platform.h"
#include "platform_impl.h"

#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

namespace kelb {

namespace {

char library_name[text_buffer_size];

const char* text(uintptr_t value) { return reinterpret_cast<const char*>(value); }

int32_t job_command(job_kind_t kind, uintptr_t source, uintptr_t target, uintptr_t mode)
{
    return start_job(text(source), text(target), text(mode), kind) ? 1 : 0;
}

int32_t cpu_command(const char* answer, uintptr_t buffer)
{
    if (buffer)
        copy_cpu_answer(answer, reinterpret_cast<char*>(buffer));
    return 0;
}

}  // namespace

int32_t dispatch(const char* command, uintptr_t arg2, uintptr_t arg3, uintptr_t arg4)
{
    if (!command)
        return 15;
    if (!strcmp(command, "compress"))
        return job_command(job_bzip2_compress, arg2, arg3, arg4);
    if (!strcmp(command, "compressbzip3"))
        return job_command(job_bzip3_compress, arg2, arg3, arg4);
    if (!strcmp(command, "decompress"))
        return job_command(job_bzip2_decompress, arg2, arg3, arg4);
    if (!strcmp(command, "decompressbzip3"))
        return job_command(job_bzip3_decompress, arg2, arg3, arg4);
    if (!strcmp(command, "status")) {
        if (arg2 == 1) {
            job_running.store(1);
            return 1;
        }
        return job_running.load(std::memory_order_acquire);
    }
    if (!strcmp(command, "getprogress"))
        return get_progress();
    if (!strcmp(command, "bresume")) {
        job_paused.store(0);
        return 0;
    }
    if (!strcmp(command, "pause")) {
        job_paused.store(1);
        return 0;
    }
    if (!strcmp(command, "cancel")) {
        cancel_job();
        return 0;
    }
    if (!strcmp(command, "selectlibrary")) {
        const char* name = text(arg2);
        if (name) {
            strncpy(library_name, name, sizeof library_name - 1);
            library_name[sizeof library_name - 1] = '\0';
        }
        return 3;
    }
    if (!strcmp(command, "thestatus"))
        return job_running.load(std::memory_order_acquire);
    if (!strcmp(command, "intreturn"))
        return job_result.load(std::memory_order_relaxed);
    if (!strcmp(command, "setlevel")) {
        bzip3_level.store(static_cast<int32_t>(arg2));
        return 0;
    }
    // Workers for the jobs that follow; 0 is the default (one per processor).
    if (!strcmp(command, "setthreads")) {
        int32_t threads = static_cast<int32_t>(arg2);
        job_threads_setting.store(threads < 0 ? 0 : threads);
        return 0;
    }
    // Names in UTF-8 for the jobs that follow (1), or in the code page (0).
    if (!strcmp(command, "utf8names")) {
        utf8_names_requested.store(arg2 != 0);
        return 1;
    }
    if (!strcmp(command, "getcpuname"))
        return cpu_command(cpu_vendor_string(), arg2);
    if (!strcmp(command, "getbrandstring"))
        return cpu_command(cpu_brand_string(), arg2);
    return 15;
}

}  // namespace kelb

extern "C" int32_t KELBZP1_CALL interface1(uintptr_t command, uintptr_t arg2, uintptr_t arg3,
                                           uintptr_t arg4)
{
    return kelb::dispatch(reinterpret_cast<const char*>(command), arg2, arg3, arg4);
}

#ifdef _WIN32

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH: OutputDebugStringA("DLL_PROCESS_ATTACH \n"); break;
    case DLL_THREAD_ATTACH: OutputDebugStringA("DLL_THREAD_ATTACH \n"); break;
    case DLL_THREAD_DETACH: OutputDebugStringA("DLL_THREAD_DETACH \n"); break;
    case DLL_PROCESS_DETACH: OutputDebugStringA("DLL_PROCESS_DETACH \n"); break;
    default: break;
    }
    return TRUE;
}

#else

// Linux has no thread notifications for a library; the job's worker writes
// its own attach and detach lines (platform_posix.cpp).
__attribute__((constructor)) static void engine_attach()
{
    kelb::real_platform().debug_output("DLL_PROCESS_ATTACH \n");
}

// A host that unloads the engine in the middle of a job would pull its code
// out from under the worker: stop the job and wait for its thread first.
__attribute__((destructor)) static void engine_detach()
{
    if (kelb::job_running.load(std::memory_order_acquire))
        kelb::job_cancel.store(1);
    kelb::reap_last_worker();
    kelb::real_platform().debug_output("DLL_PROCESS_DETACH \n");
}

#endif
