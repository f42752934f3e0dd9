// ZipClass: finding, loading and binding the engine, and how texts and
// numbers cross to it.
#include "control_fixture.h"

#include "product.h"
#include "zipclass.h"

#include <cstdio>
#include <filesystem>

using namespace ctl;
using namespace kelbtest;
namespace fs = std::filesystem;

namespace {

std::string contact() { return narrow(kelb::maker_contact); }

class Bridge : public testing::Test {
protected:
    // The control library's directory is a scratch folder the test fills.
    std::string dir = scratch_dir();
    platform_double os{dir};
    kelb::ZipClass zip;

    std::string engine_path() const { return engine_file_in(dir); }
    void place(const std::string& library) { fs::copy_file(library, engine_path()); }

    // Runs f, which must throw the bridge's error; gives its number and description.
    template <typename F>
    std::pair<int32_t, std::string> error_of(F f)
    {
        try {
            f();
        } catch (const kelb::host_error& e) {
            return {e.number(), narrow(e.description())};
        }
        ADD_FAILURE() << "no error raised";
        return {0, ""};
    }
};

}  // namespace

TEST_F(Bridge, MissingEngineRaises50003ThenLoadsOnceTheFileIsInPlace)
{
    auto error = error_of([&] { zip.Init(false); });
    EXPECT_EQ(error.first, 50003);
    EXPECT_EQ(error.second, "Error loading the " + engine_path() + " , please contact the develper " + contact());
    EXPECT_FALSE(zip.IsLoaded());
    EXPECT_EQ(narrow(zip.library_path()), engine_path());

    // Without an engine a call shows the loading message and sends nothing.
    EXPECT_EQ(zip.CallWindowInt(u"getprogress", 0, 0, 0), 0);
    EXPECT_EQ(platform().message_boxes, std::vector<std::string>{"Tessel OCX 2.0.1: error loading the dll"});

    place(engine_file_in(engine_dir()));
    zip.Init(false);
    EXPECT_TRUE(zip.IsLoaded());
    EXPECT_EQ(zip.CallWindowInt(u"thestatus", 0, 0, 0), 0);
    EXPECT_EQ(zip.CallWindowInt(u"no such command", 0, 0, 0), 15);
    EXPECT_EQ(platform().message_boxes.size(), 1u);
}

TEST_F(Bridge, LibraryWithoutInterface1Raises50004ThenBindsOnceReplaced)
{
    place(no_entry_library());
    auto error = error_of([&] { zip.Init(false); });
    EXPECT_EQ(error.first, 50004);
    EXPECT_EQ(error.second, "Error locating the interface1 function , please contact the develper " + contact());
    EXPECT_FALSE(zip.IsLoaded());

    EXPECT_EQ(zip.CallWindowLONG(u"thestatus", 0, 0, 0), 0);
    EXPECT_EQ(platform().message_boxes,
              std::vector<std::string>{"Tessel OCX 2.0.1: error locating the interface1 function "});

    // The wrong library is still loaded; moving it aside is what both
    // systems allow. The next Init lets it go and reads the new file.
    fs::rename(engine_path(), dir + "/wrong-library");
    place(engine_file_in(engine_dir()));
    zip.Init(false);
    EXPECT_TRUE(zip.IsLoaded());
    EXPECT_EQ(zip.CallWindowInt(u"thestatus", 0, 0, 0), 0);
    EXPECT_EQ(platform().frees, 1) << "the wrong library was released";
}

TEST_F(Bridge, InitLoadsOnceUnlessForcedAndEveryLoadIsReleased)
{
    place(engine_file_in(engine_dir()));
    zip.Init(false);
    zip.Init(false);
    EXPECT_EQ(platform().loads, 1);
    EXPECT_EQ(platform().frees, 0);

    // Forced: loaded again, the earlier reference released after, so the
    // engine stays in place throughout.
    ASSERT_EQ(zip.CallWindowInt(u"setlevel", 3, 0, 0), 0);
    zip.Init(true);
    EXPECT_EQ(platform().loads, 2);
    EXPECT_EQ(platform().frees, 1);
    EXPECT_TRUE(zip.IsLoaded());
    EXPECT_EQ(zip.CallWindowInt(u"status", 0, 0, 0), 0);

    zip.Deinit();
    EXPECT_EQ(platform().frees, 2);
    EXPECT_FALSE(zip.IsLoaded());
    // A call after Deinit finds nothing to call rather than a stale address.
    EXPECT_EQ(zip.CallWindowInt(u"status", 0, 0, 0), 0);
    EXPECT_EQ(platform().message_boxes, std::vector<std::string>{"Tessel OCX 2.0.1: error loading the dll"});
}

TEST_F(Bridge, ALibraryThatFailedToBindIsReleasedWithTheBridge)
{
    place(no_entry_library());
    {
        kelb::ZipClass failed;
        EXPECT_THROW(failed.Init(false), kelb::host_error);
        EXPECT_THROW(failed.Init(false), kelb::host_error);
        EXPECT_EQ(platform().loads, 2);
        EXPECT_EQ(platform().frees, 1);
    }
    EXPECT_EQ(platform().frees, 2);
}

TEST(BridgeOwnDirectory, IsTheDirectoryOfTheModuleThatHoldsTheControl)
{
    // Here the core is linked into the test program itself.
    fs::path expected = fs::canonical(host_path(KELB_TEST_PROGRAM_DIR));
    fs::path reported = narrow(kelb::real_control_platform().module_directory());
    EXPECT_EQ(fs::canonical(reported), expected);
}

namespace {

// The bridge against the scripted engine, which records what arrives.
class BridgeCalls : public testing::Test {
protected:
    platform_double os{scripted_engine_dir()};
    scripted_engine engine;
    kelb::ZipClass zip;
    void SetUp() override
    {
        zip.Init(false);
        engine.clear_calls();
    }
};

}  // namespace

TEST_F(BridgeCalls, TextsAndNumbersArriveAsEachCallMethodPlacesThem)
{
    EXPECT_EQ(zip.CallWindowInt(u"status", 1, 0, 0), 1);
    zip.CallWindowInt(u"setlevel", -1, 7, 8);  // the first number, three times
    zip.CallWindowLONG(u"thestatus", 4, -5, 6);
    EXPECT_EQ(zip.CallWindow(u"compress", u"in.txt", u"out.bz2", u"w9"), 1);
    // A character the code page lacks arrives as its replacement character;
    // an unpaired surrogate is one on every system.
    zip.CallWindow(u"decompress", u"a\xD800" u"b", u"", u"w9");
    text command = u"getcpuname", answer(300, u' '), third = u" ";
    EXPECT_EQ(zip.CallWindow2(command, answer, third, 0), 0);
    EXPECT_EQ(engine.calls(), (std::vector<std::string>{
                                  "status 1 1 1", "setlevel -1 -1 -1", "thestatus 4 -5 6",
                                  "compress \"in.txt\" \"out.bz2\" \"w9\"", "decompress \"a?b\" \"\" \"w9\"",
                                  "getcpuname \"" + std::string(300, ' ') + "\" \" \" 0"}));
    // CallWindow2 reads its texts back, each cut at its first NUL.
    EXPECT_EQ(narrow(answer), "ScriptedCPU");
    EXPECT_EQ(narrow(command), "getcpuname");
    EXPECT_EQ(narrow(third), " ");
}

// An engine that takes "utf8names" gets the names in UTF-8; an older one
// (15) in the code page, where a Greek letter may not exist. Other texts
// keep the code page either way.
TEST_F(BridgeCalls, NamesTravelInUtf8OnlyWhenTheEngineTakesThem)
{
    const text name = u"\u03B1.txt";
    for (int32_t answer : {15, 1}) {
        engine.answer_utf8names(answer);
        zip.Init(true);
        EXPECT_EQ(zip.Utf8Names(), answer == 1);
        engine.clear_calls();
        zip.CallWindow(u"decompress", name, u"out", u"w9");
        std::string sent = answer == 1 ? std::string("\xCE\xB1.txt") : narrow(name), shown;
        for (unsigned char c : sent) {  // as the scripted engine records bytes
            char escaped[8];
            snprintf(escaped, sizeof escaped, c >= 0x20 && c < 0x7F ? "%c" : "\\x%02X", c);
            shown += escaped;
        }
        EXPECT_EQ(engine.calls(), std::vector<std::string>{"decompress \"" + shown + "\" \"out\" \"w9\""});
    }
}

TEST(BridgeChecks, EqualityIgnoresCaseWhereTheFileSystemDoesButNeverThePath)
{
#ifdef _WIN32
    const bool ignores_case = true;
#else
    const bool ignores_case = false;  // A.TXT and a.txt are two files
#endif
    kelb::ZipClass zip;
    EXPECT_EQ(zip.CheckForEquality(u"C:\\Data\\A.TXT", u"c:\\data\\a.txt"), ignores_case);
    EXPECT_EQ(zip.CheckForEquality(u"\u00C4rger.txt", u"\u00E4RGER.TXT"), ignores_case) << "beyond ASCII as well";
    EXPECT_TRUE(zip.CheckForEquality(u"", u""));
    EXPECT_TRUE(zip.CheckForEquality(u"/tmp/a.txt", u"/tmp/a.txt"));
    EXPECT_FALSE(zip.CheckForEquality(u"C:\\Data\\a.txt", u"C:\\Data\\.\\a.txt"));
    EXPECT_FALSE(zip.CheckForEquality(u"a.txt", u"a.txt "));

    EXPECT_TRUE(zip.CheckForEmpty(u""));
    EXPECT_FALSE(zip.CheckForEmpty(u" "));
    EXPECT_FALSE(zip.CheckForEmpty(text(1, u'\0')));
}

#ifndef _WIN32
TEST(CodePage, FileNameBytesSurviveTheTripThroughUtf16)
{
    const kelb::control_platform_ops& os = kelb::real_control_platform();
    // UTF-8, Latin-1 left over from older systems, and broken sequences.
    for (std::string name : {std::string("r\xC3\xA9sum\xC3\xA9.txt"), std::string("caf\xE9.txt"),
                             std::string("\xF0\x9F\x93\x81 \xED\xA0\x80 \xC0\xAF \xF4\x90\x80\x80 \xE2\x82")}) {
        text wide_name = os.from_code_page(name);
        EXPECT_EQ(os.to_code_page(wide_name), name);
    }
    EXPECT_EQ(os.from_code_page("r\xC3\xA9sum\xC3\xA9"), u"r\u00E9sum\u00E9");
    EXPECT_EQ(os.from_code_page("\xF0\x9F\x93\x81"), u"\U0001F4C1");
    EXPECT_EQ(os.to_code_page(u"\xDC80x\xDBFF"), "\x80x?");
}
#endif
