// kelbzip2_sample: a small host of the KELBzip2 control. It compresses a
// file into bzip2 and into Bzip3, restores both, and checks that the bytes
// came back unchanged, showing the control's events as they arrive.
//
//   kelbzip2_sample [-l LEVEL] [-o DIR] [FILE]
//
// On a terminal, p pauses the running job, r resumes it and c cancels it.
#include "kelbzip2.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const char* const default_file = "/usr/share/common-licenses/GPL-3";

struct options {
    std::string file = default_file;
    int level = 9;
    std::string out_dir;  // empty: a temporary one, removed at the end
};

void usage(FILE* to)
{
    std::fprintf(to,
                 "usage: kelbzip2_sample [-l LEVEL] [-o DIR] [FILE]\n"
                 "  Compresses FILE (default %s) into bzip2 and Bzip3\n"
                 "  through the KELBzip2 control, restores both and compares the bytes.\n"
                 "  -l LEVEL  compression level, 1 to 9 (default 9)\n"
                 "  -o DIR    keep the results in DIR (default: a temporary directory)\n"
                 "  On a terminal: p pauses, r resumes, c cancels the running job.\n",
                 default_file);
}

bool parse(int argc, char** argv, options& o)
{
    int c;
    while ((c = getopt(argc, argv, "l:o:h")) != -1) {
        switch (c) {
        case 'l':
            o.level = std::atoi(optarg);
            if (o.level < 1 || o.level > 9 || std::string(optarg) != std::to_string(o.level))
                return false;
            break;
        case 'o': o.out_dir = optarg; break;
        default: return false;
        }
    }
    if (optind < argc)
        o.file = argv[optind++];
    return optind == argc;
}

// Ctrl-C while a job runs cancels it, so that nothing is left half-written;
// the signal only wakes the event loop through this pipe.
int interrupt_pipe[2] = {-1, -1};

void on_interrupt(int)
{
    char byte = 1;
    ssize_t ignored = write(interrupt_pipe[1], &byte, 1);
    (void)ignored;
}

// Single keys without Enter while the program runs; the terminal is put
// back as it was when this goes away.
class raw_keyboard {
public:
    raw_keyboard()
    {
        if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_) != 0)
            return;
        termios raw = saved_;
        raw.c_lflag &= ~(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        active_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }
    ~raw_keyboard()
    {
        if (active_)
            tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    }
    bool active() const { return active_; }

private:
    termios saved_{};
    bool active_ = false;
};

// The control's events, shown as they come: a bar that redraws itself on a
// terminal, one line per event otherwise.
class job_view : public kelbzip2::events {
public:
    explicit job_view(kelbzip2::event_loop& loop) : loop_(loop), live_(isatty(STDOUT_FILENO)) {}

    void begin()
    {
        started = finished = false;
        code = -1;
        note_.clear();
    }
    void note(const char* text)
    {
        note_ = text;
        if (live_)
            draw();
    }

    void Progress(int32_t& percent) override
    {
        started = true;
        percent_ = percent;
        if (live_)
            draw();
        else
            std::printf("  Progress %d\n", percent);
    }
    void ErrorCode(int32_t& number, std::string& description) override
    {
        code = number;
        end_line();
        std::printf("  ErrorCode %d: %s\n", number, description.c_str());
    }
    void Finished() override
    {
        finished = true;
        end_line();
        std::printf("  Finished\n");
        loop_.quit();
    }

    bool started = false;
    bool finished = false;
    int32_t code = -1;

private:
    void draw()
    {
        const int width = 40;
        int filled = percent_ * width / 100;
        std::printf("\r  [%s%s] %3d%% %-10s", std::string(filled, '#').c_str(),
                    std::string(width - filled, '.').c_str(), percent_, note_.c_str());
        std::fflush(stdout);
        on_line_ = true;
    }
    void end_line()
    {
        if (on_line_)
            std::printf("\n");
        on_line_ = false;
    }

    kelbzip2::event_loop& loop_;
    bool live_;
    bool on_line_ = false;
    int32_t percent_ = 0;
    std::string note_;
};

bool same_bytes(const std::string& a, const std::string& b)
{
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    if (!fa || !fb)
        return false;
    char ba[65536], bb[65536];
    while (fa && fb) {
        fa.read(ba, sizeof ba);
        fb.read(bb, sizeof bb);
        if (fa.gcount() != fb.gcount() || !std::equal(ba, ba + fa.gcount(), bb))
            return false;
    }
    return fa.eof() && fb.eof();
}

struct format {
    const char* name;
    const char* extension;
    void (kelbzip2::KELBzip2::*compress)(kelbzip2::text_arg, kelbzip2::text_arg, int32_t);
    void (kelbzip2::KELBzip2::*decompress)(kelbzip2::text_arg, kelbzip2::text_arg);
};

}  // namespace

int main(int argc, char** argv)
{
    options o;
    if (!parse(argc, argv, o)) {
        usage(stderr);
        return 2;
    }
    std::error_code error;
    if (!fs::is_regular_file(o.file, error)) {
        std::fprintf(stderr, "kelbzip2_sample: %s is not a readable file\n", o.file.c_str());
        return 2;
    }

    bool temporary = o.out_dir.empty();
    if (temporary) {
        std::string pattern = (fs::temp_directory_path(error) / "kelbzip2-sample.XXXXXX").string();
        if (!mkdtemp(&pattern[0])) {
            std::perror("kelbzip2_sample: cannot make a temporary directory");
            return 1;
        }
        o.out_dir = pattern;
    } else if (!fs::is_directory(o.out_dir, error) && !fs::create_directories(o.out_dir, error)) {
        std::fprintf(stderr, "kelbzip2_sample: cannot make %s\n", o.out_dir.c_str());
        return 1;
    }

    kelbzip2::event_loop loop;
    job_view view(loop);
    kelbzip2::KELBzip2 control(loop, view);
    raw_keyboard keyboard;
    bool interrupted = false;

    if (pipe(interrupt_pipe) == 0) {
        std::signal(SIGINT, on_interrupt);
        std::signal(SIGTERM, on_interrupt);
    }
    // Both only ever act on a running job; between jobs they stop the run.
    auto cancel = [&] {
        interrupted = true;
        view.note("cancelling");
        control.CancelCompress();
    };
    auto watch_keys = [&] {
        if (keyboard.active())
            loop.watch(STDIN_FILENO, [&] {
                char key = 0;
                if (read(STDIN_FILENO, &key, 1) != 1)
                    return loop.unwatch(STDIN_FILENO);
                if (key == 'p')
                    control.PauseCompress(), view.note("paused");
                else if (key == 'r')
                    control.ResumeCompress(), view.note("");
                else if (key == 'c')
                    cancel();
            });
        if (interrupt_pipe[0] >= 0)
            loop.watch(interrupt_pipe[0], [&] {
                char byte;
                ssize_t ignored = read(interrupt_pipe[0], &byte, 1);
                (void)ignored;
                cancel();
            });
    };

    // Starts one job and runs the loop until its Finished; the job's code,
    // or -1 when the control refused it (the refusal has been shown).
    auto run = [&](const char* what, const std::string& target, auto start) -> int32_t {
        std::printf("%s -> %s\n", what, target.c_str());
        view.begin();
        start();
        if (!view.started)
            return -1;
        watch_keys();
        while (!view.finished)
            loop.run();
        loop.unwatch(STDIN_FILENO);
        loop.unwatch(interrupt_pipe[0]);
        return view.code;
    };

    const format formats[] = {
        {"bzip2", ".bz2", &kelbzip2::KELBzip2::Compress, &kelbzip2::KELBzip2::Decompress},
        {"Bzip3", ".bz3", &kelbzip2::KELBzip2::CompressBzip3, &kelbzip2::KELBzip2::DecompressBzip3},
    };
    int failures = 0;
    std::printf("%s\n", control.ControlName().c_str());
    try {
        // The first call that needs the engine loads it, or says why it cannot.
        std::printf("Processor %s, %s\n", control.GetCPUVendor().c_str(), control.GetCPUBrandString().c_str());
        std::printf("File %s, %ju bytes, level %d\n", o.file.c_str(), static_cast<uintmax_t>(fs::file_size(o.file)),
                    o.level);
        if (keyboard.active())
            std::printf("Keys while a job runs: p pause, r resume, c cancel\n");

        std::string base = (fs::path(o.out_dir) / fs::path(o.file).filename()).string();
        for (const format& f : formats) {
            if (interrupted)
                break;
            std::string packed = base + f.extension, restored = packed + ".restored";
            std::printf("\n");
            int32_t code = run((std::string(f.name) + " compress").c_str(), packed,
                               [&] { (control.*f.compress)(o.file, packed, o.level); });
            if (code == 0)
                code = run((std::string(f.name) + " restore").c_str(), restored,
                           [&] { (control.*f.decompress)(packed, restored); });
            if (code != 0) {
                ++failures;
                continue;
            }
            if (same_bytes(o.file, restored)) {
                std::printf("  restored bytes match the original (%ju bytes compressed to %ju)\n",
                            static_cast<uintmax_t>(fs::file_size(o.file)), static_cast<uintmax_t>(fs::file_size(packed)));
            } else {
                std::printf("  restored bytes DIFFER from the original\n");
                ++failures;
            }
        }
    } catch (const kelbzip2::engine_error& e) {
        std::fprintf(stderr, "kelbzip2_sample: error %d: %s\n", e.number(), e.what());
        ++failures;
    }

    if (temporary)
        fs::remove_all(o.out_dir, error);
    else
        std::printf("\nResults kept in %s\n", o.out_dir.c_str());
    if (interrupted)
        std::printf("\nCancelled.\n");
    else if (failures == 0)
        std::printf("\nBoth formats restored the file exactly.\n");
    return failures == 0 && !interrupted ? 0 : 1;
}
