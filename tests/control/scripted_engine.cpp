// A stand-in engine for what the real one cannot do on cue: any percentage or result code, and a record of
// exactly what arrived. It keeps the real engine's job-flag protocol and is steered through scripted_set.
#include "kelbzp1.h"

#include <cstring>
#include <string>

#ifdef _WIN32
#define SCRIPTED_EXPORT extern "C" __declspec(dllexport)
#else
#define SCRIPTED_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

int32_t running = 0, result = 0, progress = 0, utf8names_answer = 15;
std::string log, taken;

bool is(const char* command, const char* word) { return strcmp(command, word) == 0; }

std::string shown(uintptr_t value, bool as_text)
{
    return as_text ? "\"" + std::string(reinterpret_cast<const char*>(value)) + "\"" : std::to_string(int32_t(value));
}

}  // namespace

// Every call but "utf8names" is recorded as a line: the command, its texts quoted, its numbers signed.
SCRIPTED_EXPORT int32_t KELBZP1_CALL interface1(uintptr_t text, uintptr_t a2, uintptr_t a3, uintptr_t a4)
{
    const char* c = reinterpret_cast<const char*>(text);
    if (is(c, "utf8names"))
        return utf8names_answer;
    bool job = is(c, "compress") || is(c, "compressbzip3") || is(c, "decompress") || is(c, "decompressbzip3");
    bool query = is(c, "getcpuname") || is(c, "getbrandstring");
    log += std::string(c) + " " + shown(a2, job || query) + " " + shown(a3, job || query) + " " + shown(a4, job) + "\n";
    if (job) {
        result = 0;  // as the real worker does when it starts
        return 1;
    }
    if (query)
        strcpy(reinterpret_cast<char*>(a2), is(c, "getcpuname") ? "ScriptedCPU" : "Scripted Brand");
    if (is(c, "status") && int32_t(a2) == 1)
        running = 1;
    if (is(c, "cancel") && running) {
        result = 119;
        running = 0;
    }
    if (is(c, "status") || is(c, "thestatus"))
        return running;
    if (is(c, "getprogress"))
        return progress;
    if (is(c, "intreturn"))
        return result;
    return query || is(c, "pause") || is(c, "bresume") || is(c, "setlevel") || is(c, "cancel") ? 0 : 15;
}

// Everything that arrived since the last look, one call a line.
SCRIPTED_EXPORT const char* scripted_log()
{
    taken = log;
    log.clear();
    return taken.c_str();
}

SCRIPTED_EXPORT void scripted_set(const char* what, int32_t value)
{
    if (is(what, "reset")) {
        running = result = progress = 0;
        utf8names_answer = 15;
        log.clear();
    } else if (is(what, "progress")) {
        progress = value;
    } else if (is(what, "utf8names")) {
        utf8names_answer = value;
    } else {  // "finish": the job's worker has ended with this code
        result = value;
        running = 0;
    }
}
