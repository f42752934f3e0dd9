// ZipClass: finding, loading and binding the engine, and how texts and numbers cross to it.
#include "control_fixture.h"

#include "product.h"

#include <filesystem>

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
