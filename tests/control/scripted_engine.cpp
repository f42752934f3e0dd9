// A stand-in engine for what the real one cannot be made to do on cue:
// percentages of 98 and more while a job runs, result codes outside the
// table, a record of exactly what arrived. It keeps the real engine's
// job-flag protocol; the test steers it through the scripted_* exports.
// "utf8names", which the bridge sends at every bind, is answered but not
// recorded: by default as an engine without it (15).
#include "kelbzp1.h"

#include <cstdio>
#include <cstring>
#include <string>

#ifdef _WIN32
#define SCRIPTED_EXPORT extern "C" __declspec(dllexport)
#else
#define SCRIPTED_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

int32_t running = 0, result = 0, progress = 0, utf8names_answer = 15;
std::string log;

bool is(const char* command, const char* word) { return strcmp(command, word) == 0; }

bool is_job(const char* c)
{
    return is(c, "compress") || is(c, "compressbzip3") || is(c, "decompress") || is(c, "decompressbzip3");
}

bool is_processor_query(const char* c) { return is(c, "getcpuname") || is(c, "getbrandstring"); }

// Texts quoted with bytes outside printable ASCII as \xNN; numbers signed.
std::string shown(uintptr_t value, bool as_text)
{
    if (!as_text)
        return std::to_string(static_cast<int32_t>(value));
    std::string out = "\"";
    for (const char* c = reinterpret_cast<const char*>(value); *c; ++c) {
        char escaped[8];
        snprintf(escaped, sizeof escaped, *c >= 0x20 && *c < 0x7F ? "%c" : "\\x%02X", static_cast<unsigned char>(*c));
        out += escaped;
    }
    return out + "\"";
}

}  // namespace

SCRIPTED_EXPORT int32_t KELBZP1_CALL interface1(uintptr_t text, uintptr_t a2, uintptr_t a3, uintptr_t a4)
{
    const char* command = reinterpret_cast<const char*>(text);
    if (is(command, "utf8names"))
        return utf8names_answer;
    bool texts = is_job(command), query = is_processor_query(command);
    log += (log.empty() ? "" : "\n") + std::string(command) + " " + shown(a2, texts || query) + " " +
           shown(a3, texts || query) + " " + shown(a4, texts);

    if (texts) {
        result = 0;  // as the real worker does when it starts
        return 1;
    }
    if (is(command, "status")) {
        if (static_cast<int32_t>(a2) == 1)
            running = 1;
        return running;
    }
    if (is(command, "thestatus"))
        return running;
    if (is(command, "getprogress"))
        return progress;
    if (is(command, "intreturn"))
        return result;
    if (is(command, "cancel")) {
        result = running ? 119 : result;
        running = 0;
        return 0;
    }
    if (query) {
        strcpy(reinterpret_cast<char*>(a2), is(command, "getcpuname") ? "ScriptedCPU" : "Scripted Brand");
        return 0;
    }
    return is(command, "pause") || is(command, "bresume") || is(command, "setlevel") ? 0 : 15;
}

// Everything that arrived since the last clear, one call a line.
SCRIPTED_EXPORT const char* scripted_log() { return log.c_str(); }
SCRIPTED_EXPORT void scripted_clear_log() { log.clear(); }
// Idle, no result, no progress, nothing recorded.
SCRIPTED_EXPORT void scripted_reset()
{
    running = result = progress = 0;
    utf8names_answer = 15;
    log.clear();
}
SCRIPTED_EXPORT void scripted_answer_utf8names(int32_t answer) { utf8names_answer = answer; }
SCRIPTED_EXPORT void scripted_set_progress(int32_t percent) { progress = percent; }
// The job's worker has ended with this code.
SCRIPTED_EXPORT void scripted_finish(int32_t code)
{
    result = code;
    running = 0;
}
