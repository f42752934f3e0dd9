// The control's platform table on Linux. The code page is the bytes of the
// host's file names, normally UTF-8; bytes that are not UTF-8 travel through
// UTF-16 as lone surrogates U+DC80..U+DCFF and come back unchanged, so every
// name the file system can hold reaches the engine as it was given.
#include "control_platform.h"

#include <dlfcn.h>
#include <limits.h>
#include <locale.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <cstdio>
#include <cstring>
#include <mutex>

namespace kelb {

namespace {

constexpr char32_t replacement = U'?';

std::mutex hooks_lock;
std::function<void(const text&, const text&)> message_box_hook;
std::function<int32_t(open_file_request&)> open_dialog_hook;

bool is_high_surrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool is_low_surrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }
bool is_escaped_byte(char16_t c) { return c >= 0xDC80 && c <= 0xDCFF; }

// Calls visit(code point, escaped) for each character; a lone surrogate is
// passed on as itself with escaped telling whether it stands for a raw byte.
template <typename Visit>
void each_code_point(const text& value, Visit visit)
{
    for (size_t i = 0; i < value.size(); ++i) {
        char16_t c = value[i];
        if (is_high_surrogate(c) && i + 1 < value.size() && is_low_surrogate(value[i + 1])) {
            visit(0x10000 + ((char32_t(c) - 0xD800) << 10) + (value[i + 1] - 0xDC00), false);
            ++i;
        } else {
            visit(char32_t(c), is_escaped_byte(c));
        }
    }
}

void append_utf16(text& out, char32_t cp)
{
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out += char16_t(0xD800 + (cp >> 10));
        out += char16_t(0xDC00 + (cp & 0x3FF));
    } else {
        out += char16_t(cp);
    }
}

std::string posix_to_code_page(const text& value)
{
    std::string out;
    out.reserve(value.size());
    each_code_point(value, [&](char32_t cp, bool escaped) {
        if (escaped) {
            out += char(cp - 0xDC00);
            return;
        }
        if (cp >= 0xD800 && cp <= 0xDFFF)
            cp = replacement;
        if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x800) {
            out += char(0xC0 | (cp >> 6));
            out += char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += char(0xE0 | (cp >> 12));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        } else {
            out += char(0xF0 | (cp >> 18));
            out += char(0x80 | ((cp >> 12) & 0x3F));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        }
    });
    return out;
}

// Length of the well-formed UTF-8 sequence at s[i] and its code point; 0
// when the bytes there are not one.
size_t utf8_sequence(const std::string& s, size_t i, char32_t& cp)
{
    auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char lead = byte(i);
    size_t length;
    char32_t minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, minimum = 0x80, cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, minimum = 0x800, cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, minimum = 0x10000, cp = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > s.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return length;
}

text posix_from_code_page(const std::string& bytes)
{
    text out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        unsigned char b = static_cast<unsigned char>(bytes[i]);
        char32_t cp;
        if (b < 0x80) {
            out += char16_t(b);
            ++i;
        } else if (size_t length = utf8_sequence(bytes, i, cp)) {
            append_utf16(out, cp);
            i += length;
        } else {
            out += char16_t(0xDC00 + b);
            ++i;
        }
    }
    return out;
}

text posix_to_upper(const text& value)
{
    // The C locale would upper-case ASCII only.
    static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    text out;
    out.reserve(value.size());
    each_code_point(value, [&](char32_t cp, bool) {
        if (cp >= 0xD800 && cp <= 0xDFFF)
            out += char16_t(cp);
        else if (utf8)
            append_utf16(out, static_cast<char32_t>(towupper_l(static_cast<wint_t>(cp), utf8)));
        else
            append_utf16(out, cp >= U'a' && cp <= U'z' ? cp - 32 : cp);
    });
    return out;
}

void* posix_load_library(const std::string& path) { return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }

void* posix_find_entry(void* library, const char* name) { return dlsym(library, name); }

void posix_free_library(void* library) { dlclose(library); }

std::string own_file()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&own_file), &info) && info.dli_fname && strchr(info.dli_fname, '/')) {
        char resolved[PATH_MAX];
        if (realpath(info.dli_fname, resolved))
            return resolved;
    }
    // Linked into the program itself, which the loader may name by argv[0].
    char exe[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    return length > 0 ? std::string(exe, static_cast<size_t>(length)) : std::string();
}

text posix_module_directory()
{
    std::string file = own_file();
    size_t slash = file.rfind('/');
    return posix_from_code_page(slash == std::string::npos ? std::string(".") : file.substr(0, slash));
}

void posix_message_box(const text& message, const text& caption)
{
    std::function<void(const text&, const text&)> hook;
    {
        std::lock_guard<std::mutex> lock(hooks_lock);
        hook = message_box_hook;
    }
    if (hook) {
        hook(message, caption);
        return;
    }
    fprintf(stderr, "%s: %s\n", posix_to_code_page(caption).c_str(), posix_to_code_page(message).c_str());
}

int32_t posix_show_open_dialog(open_file_request& request)
{
    std::function<int32_t(open_file_request&)> hook;
    {
        std::lock_guard<std::mutex> lock(hooks_lock);
        hook = open_dialog_hook;
    }
    return hook ? hook(request) : 0;
}

uint32_t posix_dialog_extended_error() { return 0; }

bool posix_same_file(const text& first, const text& second)
{
    struct stat a, b;
    return stat(posix_to_code_page(first).c_str(), &a) == 0 && stat(posix_to_code_page(second).c_str(), &b) == 0 &&
           a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

const control_platform_ops posix_ops = {
    u'/',                   u"libkelbzp1.so",       posix_load_library,     posix_find_entry,
    posix_free_library,     posix_module_directory, posix_message_box,
    posix_show_open_dialog, posix_dialog_extended_error, posix_to_code_page,
    posix_from_code_page,   posix_to_upper,         false,
    posix_same_file,        posix_to_code_page,
};

}  // namespace

const control_platform_ops& real_control_platform() { return posix_ops; }

void set_message_box(std::function<void(const text&, const text&)> show)
{
    std::lock_guard<std::mutex> lock(hooks_lock);
    message_box_hook = std::move(show);
}

void set_open_dialog(std::function<int32_t(open_file_request&)> show)
{
    std::lock_guard<std::mutex> lock(hooks_lock);
    open_dialog_hook = std::move(show);
}

}  // namespace kelb
