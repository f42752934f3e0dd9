// ZipClass: the control's bridge to the engine. It loads the engine file
// that lies beside the control library, binds its one entry point
// interface1, and carries texts and integers to it.
#pragma once

#include "control_platform.h"
#include "kelbzp1.h"

#include <exception>
#include <string>

namespace kelb {

// A failure that reaches the host as the failing result of a method, with
// its number and description (the engine cannot be loaded or bound).
class host_error : public std::exception {
public:
    host_error(int32_t number, text description);
    int32_t number() const { return number_; }
    const text& description() const { return description_; }
    const char* what() const noexcept override { return what_.c_str(); }

private:
    int32_t number_;
    text description_;
    std::string what_;
};

constexpr int32_t error_engine_not_loaded = 50003;
constexpr int32_t error_no_interface1 = 50004;

class ZipClass {
public:
    ZipClass() = default;
    // Releases an engine still held (one that lacked interface1 included).
    ~ZipClass();
    ZipClass(const ZipClass&) = delete;
    ZipClass& operator=(const ZipClass&) = delete;

    // Loads the engine and binds interface1, once unless forced. Throws
    // host_error 50003 when the file cannot be loaded, 50004 when it has no
    // interface1.
    void Init(bool fOrceinit);
    // Releases the engine; calls after it find nothing bound.
    void Deinit();
    bool IsLoaded() const { return Loaded; }

    // Each call sends its texts NUL-terminated in the code page; CallWindow,
    // which carries the names, in UTF-8 when the engine takes them so.
    // Without a bound engine it shows a message box and returns 0.
    int32_t CallWindow(const text& string11, const text& string22, const text& string33, const text& string44);
    // The three texts come back as the engine left them, cut at their first NUL.
    int32_t CallWindow2(text& string11, text& string22, text& string33, int32_t string44);
    int32_t CallWindowLONG(const text& string11, int32_t string22, int32_t string33, int32_t string44);
    // Sends string22 in all three places; the engine reads only the first.
    int32_t CallWindowInt(const text& string11, int32_t string22, int32_t string33, int32_t string44);

    // Equal texts (ignoring case where the file system does), with no path
    // normalisation.
    bool CheckForEquality(const text& first, const text& second) const;
    bool CheckForEmpty(const text& value) const;

    // The engine file of the last Init.
    const text& library_path() const { return LibPath; }
    // Whether the bound engine took "utf8names" (an older one answers 15).
    bool Utf8Names() const { return Utf8Names_; }

private:
    bool bound() const;

    bool Loaded = false;
    void* LibHandle = nullptr;
    interface1_fn InterfaceAddress = nullptr;
    bool Utf8Names_ = false;
    text LibPath;
};

}  // namespace kelb
