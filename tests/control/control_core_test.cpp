// The control core: the bridge, the control against the scripted engine, the progress bar, the dialog.
#include "control_fixture.h"
#include "common_dialog.h"
#include "product.h"
#include "progbar.h"

#include <filesystem>
#include <map>

using namespace ctl;
namespace fs = std::filesystem;

// The file beside the control: none, a library without interface1, the engine.
TEST(Bridge, InitRaisesUntilTheEngineIsInPlaceAndEveryLoadIsReleased)
{
    const std::string dir = kelbtest::scratch_dir(), engine = engine_file_in(dir);
    platform_double os{dir};
    kelb::ZipClass zip;
    auto init_error = [&](kelb::ZipClass& bridge) {
        try {
            bridge.Init(false);
        } catch (const kelb::host_error& e) {
            return std::to_string(e.number()) + " " + narrow(e.description());
        }
        return std::string("none");
    };
    const std::string contact = " , please contact the develper " + narrow(kelb::maker_contact);
    EXPECT_EQ(init_error(zip), "50003 Error loading the " + engine + contact);
    EXPECT_EQ(zip.CallWindowInt(u"getprogress", 0, 0, 0), 0);
    control_on_form form;  // a method that needs the engine raises the same, and no event
    EXPECT_THROW(form.control->Compress(u"in", u"out", 9), kelb::host_error);
    EXPECT_TRUE(form.events.empty());
    fs::copy_file(kelbtest::host_path(KELB_NO_ENTRY_LIBRARY), engine);
    EXPECT_EQ(init_error(zip), "50004 Error locating the interface1 function" + contact);
    EXPECT_EQ(zip.CallWindowLONG(u"thestatus", 0, 0, 0), 0);
    EXPECT_NE(init_error(*std::make_unique<kelb::ZipClass>()), "none");
    EXPECT_EQ(os.frees, 1) << "a library that failed to bind goes with its bridge, here a temporary";
    // Moving the wrong library aside is what both systems allow; the next Init lets it go and reads the engine.
    fs::rename(engine, dir + "/wrong-library");
    fs::copy_file(engine_file_in(kelbtest::host_path(KELB_ENGINE_DIR)), engine);
    zip.Init(false);
    zip.Init(false);
    EXPECT_EQ(zip.CallWindowInt(u"no such command", 0, 0, 0), 15);
    EXPECT_EQ(std::pair(os.loads, os.frees), std::pair(3, 2));
    // Forced: loaded again, the earlier reference released after, so the engine never unloads in between.
    zip.Init(true);
    EXPECT_EQ(std::pair(os.loads, os.frees), std::pair(4, 3));
    zip.Deinit();
    EXPECT_EQ(os.frees, 4);
    EXPECT_EQ(zip.CallWindowInt(u"status", 0, 0, 0), 0) << "no stale address is called";
    EXPECT_EQ(os.message_boxes,
              (lines{"error loading the dll", "error locating the interface1 function ", "error loading the dll"}));
}

// Names travel in UTF-8 only to an engine that answers 1 to "utf8names", other texts in the code page.
TEST(Bridge, ArgumentsArriveAsEachCallMethodPlacesThem)
{
    platform_double os{kelbtest::host_path(KELB_SCRIPTED_ENGINE_DIR)};
    scripted_engine engine;
    kelb::ZipClass zip;
    zip.Init(false);
    EXPECT_EQ(zip.CallWindowInt(u"status", 1, 0, 0), 1);
    zip.CallWindowInt(u"setlevel", -1, 7, 8);  // the first number, three times
    zip.CallWindowLONG(u"thestatus", 4, -5, 6);
    EXPECT_EQ(zip.CallWindow(u"compress", u"in.txt", u"out.bz2", u"w9"), 1);
    zip.CallWindow(u"decompress", u"a\xD800" u"b\u03B1", u"", u"w9");  // an unpaired surrogate is in no code page
    text command = u"getcpuname", answer(300, u' '), third = u" ";
    EXPECT_EQ(zip.CallWindow2(command, answer, third, 0), 0);
    EXPECT_FALSE(zip.Utf8Names());
    engine.set("utf8names", 1);
    zip.Init(true);
    EXPECT_TRUE(zip.Utf8Names());
    zip.CallWindow(u"decompress", u"\u03B1", u"", u"w9");
    EXPECT_EQ(engine.calls(), "status 1 1 1\nsetlevel -1 -1 -1\nthestatus 4 -5 6\ncompress \"in.txt\" \"out.bz2\" \"w9\"\n"
                              "decompress \"a?b" + narrow(u"\u03B1") + "\" \"\" \"w9\"\ngetcpuname \"" + std::string(300, ' ') +
                                  "\" \" \" 0\ndecompress \"\xCE\xB1\" \"\" \"w9\"\n");
    EXPECT_EQ(answer + command + third, u"ScriptedCPUgetcpuname ") << "read back, each cut at its first NUL";
}

#ifndef _WIN32
TEST(Bridge, FileNameBytesOfAnyKindSurviveTheTripThroughUtf16)
{
    const kelb::control_platform_ops& os = kelb::real_control_platform();
    const std::string utf8 = "r\xC3\xA9sum\xC3\xA9 \xE6\x96\x87 \xF0\x9F\x93\x81";
    const std::string bad = "caf\xE9 \xED\xA0\x80 \xC0\xAF \xF4\x90\x80\x80 \xE2\x82";
    EXPECT_EQ(os.to_code_page(os.from_code_page(bad)), bad);
    EXPECT_EQ(os.from_code_page(utf8), u"r\u00E9sum\u00E9 \u6587 \U0001F4C1");
    EXPECT_EQ(os.to_code_page(u"r\u00E9sum\u00E9 \u6587 \U0001F4C1\xDC80x\xDBFF"), utf8 + "\x80x?");
}
#endif

class ControlPolling : public testing::Test {
protected:
    platform_double os{kelbtest::host_path(KELB_SCRIPTED_ENGINE_DIR)};
    scripted_engine engine;
    control_on_form form;
    kelb::KELBzip2& control = *form.control;
    lines& events = form.events;

    void poll(int32_t percent)
    {
        engine.set("progress", percent);
        form.tick(1);
    }
    void end(int32_t code)
    {
        engine.set("finish", code);
        form.tick(2);
    }
};

const std::string same = "ErrorCode 2 The input file is the same as the output",
                  level = "ErrorCode 1 Invalid compression level ", no_output = "ErrorCode 4 The outputfile file is empty ";

// A refusal's checks run in a fixed order, the first that fails decides; two names of one file are equal.
TEST_F(ControlPolling, EachMethodSendsItsCommandsAndRaisesOnlyItsStartOrRefusal)
{
    const std::string dir = kelbtest::scratch_dir(), status = "status 0 0 0\n", start = status + "status 1 1 1\n";
    kelbtest::write_file(dir + "/A.txt", "a");
    fs::create_hard_link(dir + "/A.txt", dir + "/link.txt");
    const text in = kelb::real_control_platform().from_code_page(dir + "/"), a = in + u"A.txt";
    const bool ignores_case = kelb::real_control_platform().names_ignore_case;
    const std::tuple<std::function<void()>, std::string, std::string> calls[] = {
        {[&] { control.PauseCompress(); }, "", ""}, {[&] { control.ResumeCompress(); }, "", ""},
        {[&] { control.CancelCompress(); }, "", ""},
        {[&] { EXPECT_FALSE(control.Status()); }, "thestatus 0 0 0\n", ""},
        {[&] { control.Compress(u"in", u"out", 0); }, start + "compress \"in\" \"out\" \"w0\"\n", "Progress 0"},
        {[&] { control.CompressBzip3(u"in", u"out", 4); },
         status + "setlevel 4 4 4\nstatus 1 1 1\ncompressbzip3 \"in\" \"out\" \"\"\n", "Progress 0"},
        {[&] { control.Decompress(u"in", u"out"); }, start + "decompress \"in\" \"out\" \"w9\"\n", "Progress 0"},
        {[&] { control.DecompressBzip3(u"in", u"out"); }, start + "decompressbzip3 \"in\" \"out\" \"w9\"\n", "Progress 0"},
        {[&] { control.Compress(u"", u"", 42); }, status, same},
        {[&] { control.Decompress(a, in + u"link.txt"); }, status, same},
        {[&] { control.Compress(u"C:\\A.TXT", u"c:\\a.txt", 10); }, status, ignores_case ? same : level},
        {[&] { control.DecompressBzip3(u"", u"out"); }, status, "ErrorCode 3 The input file is empty "},
        {[&] { control.Compress(u"in", u"", 10); }, status, no_output},
        {[&] { control.CompressBzip3(u"in", u"", 0); }, status, no_output},
        {[&] { control.Compress(u"in", u"out", 10); }, status, level},
        {[&] { control.Compress(u"in", u"out", -1); }, status, level},
        {[&] { control.CompressBzip3(u"in", u"out", 0); }, status, level},
        {[&] { control.CompressBzip3(u"in", u"out", 10); }, status, level},
        {[&] { control.PauseCompress(); }, "pause 0 0 0\n", ""},
        {[&] { control.ResumeCompress(); }, "bresume 0 0 0\n", ""},
        {[&] { control.CancelCompress(); }, "cancel 0 0 0\n", ""},
    };
    for (auto& [call, sent, raised] : calls) {
        events.clear();
        call();
        EXPECT_EQ(engine.calls(), sent);
        EXPECT_EQ(events, raised.empty() ? lines{} : lines{raised});
        EXPECT_EQ(form.enabled(1) + form.enabled(2), raised == "Progress 0" ? 2 : 0) << "both polls, or none";
        end(0);
        engine.calls();
        EXPECT_FALSE(form.enabled(1) || form.enabled(2));
    }
    // While a job runs, every control of the process is refused with 7 first.
    control_on_form second;
    control.Compress(u"in", u"out", 9);
    events.clear();
    control.Compress(u"", u"", 42);
    second.control->Decompress(u"a", u"b");
    EXPECT_EQ(events, lines{"ErrorCode 7 Already running , call the cancel function or wait for the end of execution"});
    EXPECT_EQ(second.events, events);
}

TEST_F(ControlPolling, ProgressIsRaisedOnChangeOnlyAndCappedAtNinetySevenAndAnEndCodeWithItsMessage)
{
    control.Decompress(u"in.bz2", u"out");
    engine.calls();
    for (int32_t percent : {0, 10, 10, 98, 99, 100, 100})  // 0 is no change from the start
        poll(percent);
    EXPECT_EQ(control.LastProgress(), 100);
    form.tick(2);
    end(0);
    std::string polls;
    for (int i = 0; i < 7; ++i)
        polls += "getprogress 0 0 0\n";
    EXPECT_EQ(engine.calls(), polls + "status 0 0 0\nstatus 0 0 0\nintreturn 0 0 0\n");
    EXPECT_EQ(events, (lines{"Progress 0", "Progress 10", "Progress 97", "Progress 97", "Progress 97",
                             "Progress 100", "ErrorCode 0 No error", "Finished"}));
    control.Compress(u"a", u"b", 9);
    poll(100);
    EXPECT_EQ(events.back(), "Progress 0") << "LastProgress is not reset for the next job";
    // A host that starts its next file once the bar is full: the end comes whole before the next start.
    form.then = [&](int32_t* value) {
        if (value && *value == 100)
            control.Compress(u"a", u"b", 9);
    };
    const std::pair<int32_t, const char*> codes[] = {
        {14, "Not a valid Bzip2 file"}, {15, "Data error"}, {107, "Cannot open input file"}, {119, "User cancel"},
        {126, "Damaged compressed file"}, {255, "Unexpected error"}, {16, nullptr}, {106, nullptr}, {-1, nullptr}};
    for (auto& [code, message] : codes) {
        end(code);
        const std::string error = "ErrorCode " + (message ? std::to_string(code) + " " + message : "255 Unexpected error");
        EXPECT_EQ(lines(events.end() - 4, events.end()), (lines{"Progress 100", error, "Finished", "Progress 0"}));
    }
    EXPECT_TRUE(form.enabled(1) && form.enabled(2)) << "the next job is being polled";
}

// From any event, raised by a poll or by the next start: nothing is touched after, and no next job comes.
TEST_F(ControlPolling, AHandlerMayDestroyTheControl)
{
    const lines whole = {"Progress 0", "Progress 30", "Progress 100", "ErrorCode 0 No error", "Finished"};
    for (bool by_start : {false, true})
        for (size_t last = 1; last < whole.size(); ++last) {
            control_on_form other;
            other.then = [&](int32_t*) {
                if (other.events.size() == last + 1)
                    other.control.reset();
            };
            other.control->Compress(u"a", u"b", 9);
            engine.set("progress", 30);
            other.tick(1);
            engine.set("finish", 0);
            if (by_start && other.control)
                other.control->Compress(u"next", u"b", 9);
            other.tick(2);
            other.tick(1);
            EXPECT_EQ(other.events, lines(whole.begin(), whole.begin() + last + 1));
            EXPECT_EQ(engine.calls().find("next"), std::string::npos) << "no next job";
        }
}

// Leaves out defaults, as the host's bag does; the key "BarColor" cannot be read.
struct map_bag : kelb::property_bag {
    bool read(const char* key, int32_t& value, bool) override
    {
        if (key == std::string("BarColor"))
            throw std::runtime_error("unreadable");
        value = values.count(key) ? values[key] : -7;  // what the bar must not use
        return values.count(key);
    }
    void write(const char* key, int32_t value, int32_t default_value, bool) override
    {
        if (value != default_value)
            values[key] = value;
    }
    std::map<std::string, int32_t> values;
};

// Vertical, max, min, value, border, then the rectangles painted on a square of the size given.
static std::string shown(const kelb::ProgBar& bar, int32_t size = 100)
{
    std::string out = std::to_string(bar.Vertical()) + " " + std::to_string(bar.Max()) + " " + std::to_string(bar.Min()) +
                      " " + std::to_string(bar.Value()) + " " + std::to_string(bar.BorderStyle()) + ":";
    for (auto& r : bar.Paint(size, size))
        out += " " + std::to_string(r.x1) + "," + std::to_string(r.y1) + "-" + std::to_string(r.x2) + "," +
               std::to_string(r.y2) + (r.color == bar.BarColor() ? " bar" : " back");
    return out;
}

TEST(ProgBar, StartsHalfFullClampsInAFixedOrderPaintsTheFilledShareAndSavesWhatDiffers)
{
    kelb::progbar_surface surface;
    kelb::ProgBar bar{surface}, loaded{surface};
    bar.InitNew();
    EXPECT_EQ(shown(bar), "0 100 0 50 1: 50,0-100,100 back 0,0-50,100 bar");
    EXPECT_EQ(std::pair(bar.BackColor(), bar.BarColor()), std::pair(0x8000000Fu, 0x8000000Du));
    const std::pair<std::function<void()>, const char*> steps[] = {
        {[&] { bar.put_Max(0); }, "0 1 0 1 1: 1,0-100,100 back 0,0-1,100 bar"},  // the value follows down
        {[&] { bar.put_Max(100); }, "0 100 0 1 1: 1,0-100,100 back 0,0-1,100 bar"},
        {[&] { bar.put_Min(20); }, "0 100 20 20 1: 0,0-100,100 back"},  // and up to a new floor
        {[&] { bar.put_Max(10); }, "0 21 20 20 1: 0,0-100,100 back"},
        {[&] { bar.put_Min(200); }, "0 21 20 20 1: 0,0-100,100 back"},
        {[&] { bar.put_Min(-5); }, "0 21 0 20 1: 20,0-100,100 back 0,0-20,100 bar"},
        {[&] { bar.put_Value(150); }, "0 21 0 21 1: 21,0-100,100 back 0,0-21,100 bar"},
        {[&] { bar.put_Value(-1); }, "0 21 0 0 1: 0,0-100,100 back"},
        {[&] { bar.put_BorderStyle(7); }, "0 21 0 0 1: 0,0-100,100 back"},
        {[&] { bar.put_BorderStyle(-3); }, "0 21 0 0 0: 0,0-100,100 back"},
        {[&] { bar.put_Vertical(true); }, "1 21 0 0 0: 0,0-100,100 back"},
        {[&] { bar.put_Value(4); }, "1 21 0 4 0: 0,0-100,96 back 0,100-100,96 bar"},
    };
    for (auto& [step, expected] : steps) {
        step();
        EXPECT_EQ(shown(bar), expected);
    }
    map_bag bag;
    bar.put_BarColor(0x00FF00);
    bar.WriteProperties(bag);
    EXPECT_EQ(bag.values, (std::map<std::string, int32_t>{
                              {"BarColor", 0x00FF00}, {"Vertical", -1}, {"Max", 21}, {"Value", 4}, {"BorderStyle", 0}}));
    loaded.ReadProperties(bag);
    EXPECT_EQ(shown(loaded), "1 21 0 4 0: 0,0-100,96 back 0,100-100,96 bar");
    EXPECT_EQ(loaded.BarColor(), 0u) << "the unreadable colour keeps its value, and costs only itself";
}

// The platform's dialog answers 1 with the file given, title "t", read-only and filter 2, or 0 or 2 (failed).
TEST(Dialog, OpenFileNameFillsTheAnswersOrEmptiesThem)
{
    platform_double os{"."};
    int32_t result = 1;
    std::string file = "C:\\start\\b.bz2";
    kelb::open_file_request seen;
    os.dialog = [&](kelb::open_file_request& request) {
        seen = request;
        if (result == 1) {
            request.file.replace(0, file.size() + 1, file + '\0');
            request.file_title.replace(0, 2, with_nuls("t\0"));
            request.flags |= kelb::ofn_readonly;
            request.filter_index = 2;
        }
        return result;
    };
    kelb::pcCommonDialog dialog;
    kelb::open_file_options options;
    options.Filter = u"Text:*.txt|Bzip2|*.bz2";
    options.flags = 0x20 | 0x40 | 0x8;  // the hook and template are dropped
    options.Filename = text(260, u'x');  // as much as the buffer holds
    ASSERT_TRUE(dialog.VBGetOpenFileName(options));
    EXPECT_EQ(seen.flags, 0x81008u) << "explorer style, and must exist by default";
    EXPECT_EQ(seen.owner, 0) << "-1 means no owner";
    EXPECT_EQ(seen.filter, with_nuls("Text\0*.txt\0Bzip2\0*.bz2\0\0"));
    EXPECT_EQ(seen.file, std::string(260, 'x'));
    EXPECT_EQ(narrow(options.Filename + u" " + options.FileTitle), "C:\\start\\b.bz2 t");
    EXPECT_EQ(options.Filter, with_nuls(u"Bzip2\0*.bz2"));
    EXPECT_TRUE(options.ReadOnly && options.FilterIndex == 2 && options.flags == 0x81009u);
    options = kelb::open_file_options{};
    options.MultiSelect = options.ReadOnly = options.HideReadOnly = true;
    file = with_nuls("C:\\d\0a\0b\0");
    ASSERT_TRUE(dialog.VBGetOpenFileName(options));
    EXPECT_EQ(seen.flags, 0x81205u);
    EXPECT_EQ(options.Filename, with_nuls(u"C:\\d\0a\0b")) << "the names up to the double NUL";
    text sep(1, kelb::real_control_platform().path_separator);
    EXPECT_EQ(kelb::GetMultiSelectFileNames(options.Filename), (std::vector<text>{u"C:\\d" + sep + u"b", u"C:\\d" + sep + u"a"}));
    EXPECT_EQ(kelb::GetMultiSelectFileNames(u"C:\\d\\one"), std::vector<text>{u"C:\\d\\one"});
    for (int32_t answer : {0, 2}) {
        result = answer;
        options.Filename = u"start.txt";
        EXPECT_FALSE(dialog.VBGetOpenFileName(options));
        EXPECT_EQ(dialog.ExtendedError(), answer ? 0x3003u : 0u) << "only a failure reads the extended error";
        EXPECT_EQ(options.Filename + options.FileTitle + options.Filter, u"");
        EXPECT_TRUE(options.flags == 0 && options.FilterIndex == -1);
        EXPECT_EQ(seen.file.substr(0, 10), with_nuls("start.txt\0"));
    }
    options.Filename = text(261, u'x');
    EXPECT_THROW(dialog.VBGetOpenFileName(options), kelb::host_error) << "longer than the buffer";
    control_on_form form;  // its OpenFile asks for any file and answers its path or nothing
    result = 1;
    file = "C:\\data\\new name.txt";
    EXPECT_EQ(narrow(form.control->OpenFile(u"Choose", u"All:*.*", u"C:\\data")), file);
    EXPECT_EQ(seen.flags, 0x80000u) << "the file need not exist";
    EXPECT_EQ(seen.title + " " + seen.initial_dir, "Choose C:\\data");
    result = 0;
    EXPECT_EQ(form.control->OpenFile(u"Choose", u"", u""), u"");
}
