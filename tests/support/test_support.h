// Helpers shared by the test programs of every target.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace kelbtest {

// A path as the program under test must spell it (under wine, Linux paths live on drive Z:).
std::string host_path(const std::string& path);
// A file made by the fixture script with the real bzip2 tool.
std::string fixture(const std::string& name);
// A file of the peer decoder corpus.
std::string peer_file(const std::string& name);
// An empty folder of the current test's own; removed again when it passes.
std::string scratch_dir();

// Paths in UTF-8, on Windows as well.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
bool file_exists(const std::string& path);
int64_t file_size(const std::string& path);

// Polls cond every 10 ms until it holds or the bound passes.
bool wait_until(const std::function<bool()>& cond, std::chrono::milliseconds bound = std::chrono::seconds(60));

// The engine as a host sees it: loaded at run time, driven through interface1.
class engine_library {
public:
    explicit engine_library(const std::string& path);
    ~engine_library();
    engine_library(const engine_library&) = delete;
    engine_library& operator=(const engine_library&) = delete;
    bool loaded() const { return entry_ != nullptr; }
    int32_t call(const char* command, uintptr_t a2 = 0, uintptr_t a3 = 0, uintptr_t a4 = 0);
    int32_t call(const char* command, const char* a2, const char* a3, const char* a4);

    // Announces and starts a job the way the control does.
    void start(const char* command, const std::string& source, const std::string& target, const char* mode = "w9");
    // Waits for the running job to end and returns its result code.
    int32_t wait_result(std::chrono::milliseconds bound = std::chrono::seconds(300));
    // Starts a job and waits for its result.
    int32_t run(const char* command, const std::string& source, const std::string& target, const char* mode = "w9");

private:
    void* handle_ = nullptr;
    void* entry_ = nullptr;
};

}  // namespace kelbtest
