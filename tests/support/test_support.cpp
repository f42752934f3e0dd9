#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace fs = std::filesystem;

namespace kelbtest {

std::string host_path(const std::string& path)
{
#ifdef _WIN32
    if (!path.empty() && path[0] == '/') {
        std::string windows = "Z:" + path;
        std::replace(windows.begin(), windows.end(), '/', '\\');
        return windows;
    }
#endif
    return path;
}

std::string fixture(const std::string& name) { return host_path(std::string(KELB_FIXTURES) + "/" + name); }
std::string peer_file(const std::string& name) { return host_path(std::string(KELB_PEER_DATA) + "/" + name); }

namespace {

fs::path scratch_path(const testing::TestInfo& info)
{
    std::string name = std::string(info.test_suite_name()) + "." + info.name();
    std::replace(name.begin(), name.end(), '/', '_');
    return fs::path(host_path(KELB_SCRATCH)) / name;
}

void remove_tree(const fs::path& dir)
{
    std::error_code ignored;
    // Read-only files left by a test would stop the removal on Windows.
    if (fs::exists(dir, ignored))
        for (auto& entry : fs::recursive_directory_iterator(dir, ignored))
            fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(dir, ignored);
}

// A passing test's scratch folder goes; a failing one's stays for a look.
struct scratch_cleaner : testing::EmptyTestEventListener {
    void OnTestEnd(const testing::TestInfo& info) override
    {
        if (info.result()->Passed())
            remove_tree(scratch_path(info));
    }
};

const bool cleaner_installed = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new scratch_cleaner);
    return true;
}();

}  // namespace

std::string scratch_dir()
{
    fs::path dir = scratch_path(*testing::UnitTest::GetInstance()->current_test_info());
    remove_tree(dir);
    fs::create_directories(dir);
    return dir.string();
}

std::string read_file(const std::string& path)
{
    std::ifstream in(fs::u8path(path), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream out(fs::u8path(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool file_exists(const std::string& path)
{
    std::error_code ignored;
    return fs::exists(fs::u8path(path), ignored);
}

int64_t file_size(const std::string& path)
{
    std::error_code error;
    auto size = fs::file_size(fs::u8path(path), error);
    return error ? -1 : static_cast<int64_t>(size);
}

bool wait_until(const std::function<bool()>& cond, std::chrono::milliseconds bound)
{
    auto deadline = std::chrono::steady_clock::now() + bound;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

engine_library::engine_library(const std::string& path)
{
#ifdef _WIN32
    handle_ = LoadLibraryA(host_path(path).c_str());
    if (handle_)
        entry_ = reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), "interface1"));
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_)
        entry_ = dlsym(handle_, "interface1");
#endif
}

engine_library::~engine_library()
{
    if (!handle_)
        return;
#ifdef _WIN32
    FreeLibrary(static_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
}

int32_t engine_library::call(const char* command, uintptr_t a2, uintptr_t a3, uintptr_t a4)
{
#if defined(_WIN32) && !defined(_WIN64)
    // As a 32-bit host may: the entry has a window procedure's shape, and gets the same four values.
    return static_cast<int32_t>(CallWindowProcA(reinterpret_cast<WNDPROC>(entry_),
                                                reinterpret_cast<HWND>(const_cast<char*>(command)), a2, a3, a4));
#else
    using entry_fn = int32_t (*)(uintptr_t, uintptr_t, uintptr_t, uintptr_t);
    return reinterpret_cast<entry_fn>(entry_)(reinterpret_cast<uintptr_t>(command), a2, a3, a4);
#endif
}

int32_t engine_library::call(const char* command, const char* a2, const char* a3, const char* a4)
{
    return call(command, reinterpret_cast<uintptr_t>(a2), reinterpret_cast<uintptr_t>(a3), reinterpret_cast<uintptr_t>(a4));
}

void engine_library::start(const char* command, const std::string& source, const std::string& target,
                           const char* mode)
{
    ASSERT_EQ(call("status", 0), 0) << "a job is still running";
    ASSERT_EQ(call("status", 1), 1);
    ASSERT_EQ(call(command, source.c_str(), target.c_str(), mode), 1);
}

int32_t engine_library::wait_result(std::chrono::milliseconds bound)
{
    if (!wait_until([&] { return call("thestatus") == 0; }, bound)) {
        ADD_FAILURE() << "the job did not end in time";
        call("cancel");
    }
    return call("intreturn");
}

int32_t engine_library::run(const char* command, const std::string& source, const std::string& target,
                            const char* mode)
{
    start(command, source, target, mode);
    return wait_result();
}

}  // namespace kelbtest
