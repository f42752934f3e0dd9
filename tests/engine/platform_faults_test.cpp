// The platform made to fail on purpose, or watched, through a double of its table.
#include "job.h"
#include "kelbzp1.h"
#include "platform.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <vector>

using namespace kelbtest;

namespace {

bool no_threads = false;
std::atomic<int> open_streams{0};
std::vector<int32_t> progress_at_write;  // the percentage as each 4096 bytes written begin

const kelb::platform_ops watched = [] {
    kelb::platform_ops ops = kelb::real_platform();
    ops.start_thread = [](void (*entry)()) { return !no_threads && kelb::real_platform().start_thread(entry); };
    ops.stream_open = [](const char* name, const char* mode) {
        FILE* f = kelb::real_platform().stream_open(name, mode);
        open_streams += f != nullptr;
        return f;
    };
    ops.stream_close = [](FILE* stream) {
        --open_streams;
        return kelb::real_platform().stream_close(stream);
    };
    ops.stream_write = [](const void* buffer, size_t count, FILE* stream) -> size_t {
        progress_at_write.insert(progress_at_write.end(), (count + 4095) / 4096, kelb::get_progress());
        return kelb::real_platform().stream_write(buffer, count, stream);
    };
    return ops;
}();

int32_t run(const char* command, const std::string& source, const std::string& target)
{
    auto call = [](const char* c, uintptr_t a2 = 0, uintptr_t a3 = 0, uintptr_t a4 = 0) {
        return interface1(reinterpret_cast<uintptr_t>(c), a2, a3, a4);
    };
    progress_at_write.clear();
    call("status", 1);
    EXPECT_EQ(call(command, reinterpret_cast<uintptr_t>(source.c_str()), reinterpret_cast<uintptr_t>(target.c_str()),
                   reinterpret_cast<uintptr_t>("w9")), 1);
    EXPECT_TRUE(wait_until([&] { return call("thestatus") == 0; }));
    EXPECT_EQ(open_streams.load(), 0) << command << " left a stream open";
    return call("intreturn");
}

}  // namespace

TEST(PlatformFaults, JobWhoseThreadCannotStartEndsWithACodeAndTheEngineRecovers)
{
    kelb::use_platform(&watched);
    std::string dir = scratch_dir();
    no_threads = true;
    EXPECT_EQ(run("compress", fixture("text.txt"), dir + "/a"), 11);
    EXPECT_EQ(run("decompress", fixture("text.txt.1.bz2"), dir + "/b"), 12);
    EXPECT_EQ(run("compressbzip3", fixture("text.txt"), dir + "/c"), 120);
    EXPECT_EQ(run("decompressbzip3", fixture("text.txt"), dir + "/d"), 121);
    EXPECT_FALSE(file_exists(dir + "/a"));
    no_threads = false;
    EXPECT_EQ(run("compress", fixture("text.txt"), dir + "/a"), 0);
    EXPECT_TRUE(read_file(dir + "/a") == read_file(fixture("text.txt.9.bz2")));

    // This file comes out 30 times larger than it is: counted by output, the
    // job would show 99 once it had written as many bytes as it reads in all.
    std::string source = fixture("repeat.txt.bz2");
    ASSERT_EQ(run("decompress", source, dir + "/r"), 0);
    size_t as_many_as_read = static_cast<size_t>(file_size(source)) / 4096 + 1;
    ASSERT_GT(progress_at_write.size(), as_many_as_read);
    EXPECT_LT(progress_at_write[as_many_as_read - 1], 20);
    EXPECT_TRUE(std::is_sorted(progress_at_write.begin(), progress_at_write.end()));
    EXPECT_GE(progress_at_write.back(), 90);
    kelb::use_platform(nullptr);
}

#ifdef _WIN32
#include "wide_names_win32.h"

// Wine takes long paths without the "\\?\" form, so the form itself is
// checked here: only absolute paths past 259 characters get it, made whole.
TEST(LongPathForm, OnlyAbsolutePathsBeyond259CharactersTakeIt)
{
    const std::wstring x(290, L'x');
    for (const auto& [name, form] : {std::pair<std::wstring, std::wstring>{L"C:\\data\\a.txt", L"C:\\data\\a.txt"}, {L"data\\" + x, L"data\\" + x},
                                     {L"C:/data/" + x, L"\\\\?\\C:\\data\\" + x},
                                     {L"C:\\data\\..\\data\\.\\" + x, L"\\\\?\\C:\\data\\" + x},
                                     {L"\\\\server\\share\\" + x, L"\\\\?\\UNC\\server\\share\\" + x},
                                     {L"\\\\?\\C:\\" + x, L"\\\\?\\C:\\" + x}})
        EXPECT_TRUE(kelb::long_path_form(name) == form) << name.size();
    EXPECT_EQ(kelb::wide_from_utf8("\xCE\xB1\xF0\x9F\x93\xA6"), L"\u03B1\U0001F4E6");
    EXPECT_EQ(kelb::wide_from_utf8("\xC0\xAF"), L"") << "no UTF-8";
}
#endif
