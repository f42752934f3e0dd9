// An engine that gives any percentage or result code on cue, records what arrived, keeps the job flags.
#include "kelbzp1.h"

#include <cstring>
#include <string>

static int32_t running = 0, result = 0, progress = 0, utf8names_answer = 15;
static std::string log, taken;

static bool is(const char* command, const char* word) { return strcmp(command, word) == 0; }
static std::string shown(uintptr_t value, bool as_text)
{
    return as_text ? "\"" + std::string(reinterpret_cast<const char*>(value)) + "\"" : std::to_string(int32_t(value));
}

// Every call but "utf8names" is recorded as a line: the command, its texts quoted, its numbers signed.
extern "C" int32_t KELBZP1_CALL interface1(uintptr_t text, uintptr_t a2, uintptr_t a3, uintptr_t a4)
{
    const char* c = reinterpret_cast<const char*>(text);
    if (is(c, "utf8names"))
        return utf8names_answer;
    bool job = strstr(c, "compress"), query = is(c, "getcpuname");
    log += std::string(c) + " " + shown(a2, job || query) + " " + shown(a3, job || query) + " " + shown(a4, job) + "\n";
    if (job)
        result = 0;  // as the real worker does when it starts
    if (query)
        strcpy(reinterpret_cast<char*>(a2), "ScriptedCPU");
    if (is(c, "status") && int32_t(a2) == 1)
        running = 1;
    if (is(c, "cancel") && running) {
        result = 119;
        running = 0;
    }
    if (is(c, "getprogress"))
        return progress;
    if (is(c, "intreturn"))
        return result;
    return job ? 1 : is(c, "status") || is(c, "thestatus") ? running : 0;
}

// Sets what "getprogress" or "utf8names" answer, ends the job with a code ("finish"), or hands over the log.
extern "C" const char* scripted(const char* what, int32_t value)
{
    if (is(what, "progress")) {
        progress = value;
    } else if (is(what, "utf8names")) {
        utf8names_answer = value;
    } else if (is(what, "finish")) {
        result = value;
        running = 0;
    } else {
        taken = log;
        log.clear();
    }
    return taken.c_str();
}
