/* kelbzip2.h: the KELBzip2 control for Linux programs.
 *
 * The control compresses a whole file into the bzip2 format or into our own
 * Bzip3 container (a bzip2 stream behind a header with the MD5 digest, the
 * attributes and the times of the source), and restores such files. A job
 * runs on a worker thread of the compression engine, libkelbzp1.so, which
 * the control loads from its own directory the first time it needs it.
 *
 * The control lives on one thread, the one that runs its event_loop: its
 * methods, its timers and its events all happen there, one at a time, the
 * way a Windows control lives on the thread that runs the message loop.
 *
 *     kelbzip2::event_loop loop;
 *     struct : kelbzip2::events {
 *         void Progress(int32_t& percent) override { ... }
 *         void ErrorCode(int32_t& code, std::string& message) override { ... }
 *         void Finished() override { ... }
 *     } handlers;
 *     kelbzip2::KELBzip2 control(loop, handlers);
 *     control.Compress("report.txt", "report.txt.bz2", 9);
 *     loop.run();   // returns once the job has finished
 *
 * What a host learns about a job comes through the events, never through a
 * method's return:
 *   - a refused call (bad arguments, two names of one file, a job already
 *     running) raises ErrorCode during the call, and nothing else;
 *   - a started job raises Progress 0 during the call, Progress with each
 *     new percentage (at most 97) while it runs, and at its end Progress
 *     100, its own ErrorCode (0 "No error" on success) and Finished, on the
 *     control that started it. A job started before the previous end was
 *     raised on that control raises that end first, during the call.
 * The only errors a method throws are engine_error 50003 (the engine file
 * cannot be loaded) and 50004 (it has no interface1).
 *
 * Texts are the bytes of the host's file names, normally UTF-8; a null text
 * counts as empty. The engine takes names of up to 32,767 UTF-16 units (an
 * older engine: 255 bytes); a longer one ends its job with the code for a
 * file that cannot be opened, as does one beyond the file system's limits.
 */
#ifndef KELBZIP2_H
#define KELBZIP2_H

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#define KELBZIP2_API __attribute__((visibility("default")))

namespace kelbzip2 {

/* A text argument: a C string (null counts as empty) or a std::string. */
class text_arg {
public:
    text_arg(const char* value) : value_(value ? value : "") {}
    text_arg(const std::string& value) : value_(value) {}
    const std::string& str() const { return value_; }

private:
    std::string value_;
};

/* The loop that the host runs on the control's thread. Timers of the
   controls tick from it, and it can watch the host's own file descriptors
   (a terminal, a pipe) so that one thread serves both. */
class KELBZIP2_API event_loop {
public:
    event_loop();
    /* Controls and watches must be gone before their loop. */
    ~event_loop();
    event_loop(const event_loop&) = delete;
    event_loop& operator=(const event_loop&) = delete;

    /* Runs until quit() is called, or until nothing is left that could call
       back: no timer enabled and no descriptor watched. A quit() made before
       run() (say, by a handler during a method call) makes it return at once. */
    void run();
    /* One pass: waits at most timeout_ms (-1: no limit) for the next timer or
       watched descriptor, and serves what is due. False when quit() was
       called, before or during the pass; the quit is then used up. */
    bool run_once(int timeout_ms);
    void quit();

    /* Calls on_ready on this loop whenever fd can be read without blocking. */
    void watch(int fd, std::function<void()> on_ready);
    void unwatch(int fd);

    struct state;

private:
    std::shared_ptr<state> state_;
    friend class KELBzip2;
};

/* The control's events. Override what you need; the defaults do nothing.
   A handler may call the control's methods, and may even destroy it. */
class KELBZIP2_API events {
public:
    virtual ~events();
    /* A percentage. What a handler writes here becomes the value the next
       poll compares with (only while the job runs, at 97 and below). */
    virtual void Progress(int32_t& Progressvalue);
    /* A result code and its message; 0 "No error" is success. Writing into
       them changes nothing. */
    virtual void ErrorCode(int32_t& ErrorNumber, std::string& ErrorDescription);
    /* Once at the end of every job that was started. */
    virtual void Finished();
};

/* 50003: the engine file cannot be loaded; 50004: it has no interface1. */
class KELBZIP2_API engine_error : public std::runtime_error {
public:
    engine_error(int32_t number, const std::string& description);
    int32_t number() const { return number_; }

private:
    int32_t number_;
};

class KELBZIP2_API KELBzip2 {
public:
    KELBzip2(event_loop& loop, events& handlers);
    /* Cancels a running job, waits until the engine's worker has stopped,
       and releases the engine. */
    ~KELBzip2();
    KELBzip2(const KELBzip2&) = delete;
    KELBzip2& operator=(const KELBzip2&) = delete;

    /* bzip2 at level 0 to 9 (0 compresses like 1), Bzip3 at 1 to 9. */
    void Compress(text_arg Inputfile, text_arg OutPutFile, int32_t CompressionLevel);
    void CompressBzip3(text_arg Inputfile, text_arg OutPutFile, int32_t CompressionLevel);
    void Decompress(text_arg Inputfile, text_arg OutPutFile);
    void DecompressBzip3(text_arg Inputfile, text_arg OutPutFile);

    /* Pause, resume and cancel act on the running job of this process, and
       do nothing before this control has loaded the engine. Cancel returns
       once the job has stopped; its end (119, "User cancel") then comes
       through the events like any other. */
    void PauseCompress();
    void ResumeCompress();
    void CancelCompress();

    /* True while a job runs; it turns false a moment before Finished. */
    bool Status();

    /* "Tessel OCX 2.0.1". */
    std::string ControlName() const;
    std::string GetCPUVendor();
    std::string GetCPUBrandString();
    /* Shows the description of the library through the message box. */
    void About();
    /* A file chosen through the host's chooser (see set_file_chooser); empty
       when none is set or the user chose nothing. Filter: "Text files|*.txt|
       All files|*" (":" separates as well). */
    std::string OpenFile(text_arg Title, text_arg Filter, text_arg InitDir);

    /* The last percentage read from the engine; not reset between jobs. */
    int32_t LastProgress() const;

    struct parts;

private:
    std::unique_ptr<parts> parts_;
};

/* Linux has no system message box or file dialog. Messages (the bridge's
   rare complaints, About) go to standard error unless a function is set;
   OpenFile chooses nothing unless a chooser is set. An empty function
   restores the default. */
KELBZIP2_API void set_message_box(std::function<void(const std::string& message, const std::string& caption)> show);

struct file_filter {
    std::string description;
    std::string pattern;
};
KELBZIP2_API void set_file_chooser(
    std::function<std::string(const std::string& title, const std::vector<file_filter>& filters,
                              const std::string& initial_dir)>
        choose);

}  // namespace kelbzip2

#endif
