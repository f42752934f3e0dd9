#include "zipclass.h"

#include "product.h"

namespace kelb {

host_error::host_error(int32_t number, text description)
    : number_(number), description_(std::move(description)), what_(control_platform().to_code_page(description_))
{
}

ZipClass::~ZipClass()
{
    if (LibHandle)
        control_platform().free_library(LibHandle);
}

void ZipClass::Init(bool fOrceinit)
{
    if (!fOrceinit && Loaded)
        return;
    const control_platform_ops& os = control_platform();
    LibPath = os.module_directory() + os.path_separator + os.engine_file;

    // A library without interface1 is of no use: let it go before loading,
    // so that a file put right meanwhile is read afresh. A bound one is let
    // go only after the new load, so that it never unloads in between.
    void* previous = LibHandle;
    if (previous && !Loaded) {
        os.free_library(previous);
        previous = nullptr;
    }
    LibHandle = os.load_library(os.to_code_page(LibPath));
    InterfaceAddress =
        LibHandle ? reinterpret_cast<interface1_fn>(os.find_entry(LibHandle, "interface1")) : nullptr;
    if (previous)
        os.free_library(previous);
    Loaded = InterfaceAddress != nullptr;
    // Names in UTF-8 reach every file; an engine without the command keeps
    // the code page.
    Utf8Names_ = false;
    if (Loaded)
        Utf8Names_ = CallWindowInt(u"utf8names", 1, 0, 0) == 1;

    if (!LibHandle)
        throw host_error(error_engine_not_loaded,
                         u"Error loading the " + LibPath + u" , please contact the develper " + maker_contact);
    if (!Loaded)
        throw host_error(error_no_interface1,
                         text(u"Error locating the interface1 function , please contact the develper ") +
                             maker_contact);
}

void ZipClass::Deinit()
{
    if (LibHandle)
        control_platform().free_library(LibHandle);
    LibHandle = nullptr;
    InterfaceAddress = nullptr;
    Loaded = false;
    Utf8Names_ = false;
}

bool ZipClass::bound() const
{
    const control_platform_ops& os = control_platform();
    if (!LibHandle) {
        os.message_box(u"error loading the dll", control_title);
        return false;
    }
    if (!InterfaceAddress) {
        os.message_box(u"error locating the interface1 function ", control_title);
        return false;
    }
    return true;
}

namespace {

// A private copy for the duration of one call: NUL-terminated, in the code page.
std::string engine_text(const text& value) { return control_platform().to_code_page(value + u'\0'); }

uintptr_t address(std::string& buffer) { return reinterpret_cast<uintptr_t>(&buffer[0]); }

// Numbers travel as the 32-bit values they are, sign included.
uintptr_t number(int32_t value) { return static_cast<uintptr_t>(static_cast<intptr_t>(value)); }

}  // namespace

int32_t ZipClass::CallWindow(const text& string11, const text& string22, const text& string33,
                             const text& string44)
{
    if (!bound())
        return 0;
    auto convert = control_platform().to_code_page;
    if (Utf8Names_)
        convert = control_platform().to_utf8;
    auto engine_text = [&](const text& value) { return convert(value + u'\0'); };
    std::string a1 = engine_text(string11), a2 = engine_text(string22), a3 = engine_text(string33),
                a4 = engine_text(string44);
    return InterfaceAddress(address(a1), address(a2), address(a3), address(a4));
}

int32_t ZipClass::CallWindow2(text& string11, text& string22, text& string33, int32_t string44)
{
    if (!bound())
        return 0;
    std::string a1 = engine_text(string11), a2 = engine_text(string22), a3 = engine_text(string33);
    int32_t result = InterfaceAddress(address(a1), address(a2), address(a3), number(string44));
    const control_platform_ops& os = control_platform();
    string11 = os.from_code_page(a1.c_str());
    string22 = os.from_code_page(a2.c_str());
    string33 = os.from_code_page(a3.c_str());
    return result;
}

int32_t ZipClass::CallWindowLONG(const text& string11, int32_t string22, int32_t string33, int32_t string44)
{
    if (!bound())
        return 0;
    std::string a1 = engine_text(string11);
    return InterfaceAddress(address(a1), number(string22), number(string33), number(string44));
}

int32_t ZipClass::CallWindowInt(const text& string11, int32_t string22, int32_t, int32_t)
{
    if (!bound())
        return 0;
    std::string a1 = engine_text(string11);
    return InterfaceAddress(address(a1), number(string22), number(string22), number(string22));
}

bool ZipClass::CheckForEquality(const text& first, const text& second) const
{
    const control_platform_ops& os = control_platform();
    return os.names_ignore_case ? os.to_upper(first) == os.to_upper(second) : first == second;
}

bool ZipClass::CheckForEmpty(const text& value) const { return value.empty(); }

}  // namespace kelb
