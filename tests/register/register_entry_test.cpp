#include "register_entry.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct shown {
    std::string text, caption;
};
std::vector<shown> messages;

void capture(HWND, const char* text, const char* caption) { messages.push_back({text, caption}); }

class RegisterClick : public testing::Test {
protected:
    void SetUp() override
    {
        messages.clear();
        kelbreg::show_message = capture;
    }
    static std::vector<std::string> texts()
    {
        std::vector<std::string> out;
        for (auto& m : messages) {
            EXPECT_EQ(m.caption, "Register");
            out.push_back(m.text);
        }
        return out;
    }
};

using texts_t = std::vector<std::string>;

const std::string unexpected = "Unexpected error registering ocx";
std::string missing(const std::string& file)
{
    return unexpected + "\n\nThe library is missing: " + kelbtest::host_path(TEST_DIR) + "\\" + file;
}

// This process's HKEY_CLASSES_ROOT redirected to a key of its own, so that the
// prefix's registrations stay as they are.
class PrivateClasses : public RegisterClick {
protected:
    static constexpr const wchar_t* root = L"Software\\KELBzip2 register test";
    void SetUp() override
    {
        RegisterClick::SetUp();
        RegDeleteTreeW(HKEY_CURRENT_USER, root);
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, root, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
        ASSERT_EQ(RegOverridePredefKey(HKEY_CLASSES_ROOT, key), 0);
        RegCloseKey(key);
    }
    void TearDown() override
    {
        RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
        RegDeleteTreeW(HKEY_CURRENT_USER, root);
    }
    // An empty access list lets nobody open the key, to delete it or what is
    // under it; none at all gives everyone everything again.
    static void lock(const wchar_t* key, bool locked)
    {
        HKEY handle = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, key, 0, WRITE_DAC, &handle), 0);
        SECURITY_DESCRIPTOR sd;
        ACL empty;
        InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
        InitializeAcl(&empty, sizeof empty, ACL_REVISION);
        SetSecurityDescriptorDacl(&sd, TRUE, locked ? &empty : nullptr, FALSE);
        EXPECT_EQ(RegSetKeySecurity(handle, DACL_SECURITY_INFORMATION, &sd), 0);
        RegCloseKey(handle);
    }
};

}  // namespace

TEST_F(RegisterClick, SuccessfulExportsGiveTheTwoSuccessMessages)
{
    kelbreg::CallServerEntry(nullptr, FAKE_SERVER_OK, true);
    kelbreg::CallServerEntry(nullptr, FAKE_SERVER_OK, false);
    EXPECT_EQ(texts(), (texts_t{"Registration Successful", "Unregistration Successful"}));
}

TEST_F(RegisterClick, AnyResultButZeroIsUnsuccessful)
{
    kelbreg::CallServerEntry(nullptr, FAKE_SERVER_ONE, true);
    kelbreg::CallServerEntry(nullptr, FAKE_SERVER_ONE, false);
    EXPECT_EQ(texts(), (texts_t{"Registration Unsuccessful", "Unregistration Unsuccessful"}));
}

TEST_F(RegisterClick, PerUserCallsDllInstallAndSaysSo)
{
    const std::pair<const char*, kelbreg::scope> lines[] = {
        {"", kelbreg::scope::machine},        {"/user", kelbreg::scope::user},   {"-USER", kelbreg::scope::user},
        {"x /User", kelbreg::scope::user},    {"/username", kelbreg::scope::machine}, {"user", kelbreg::scope::machine}};
    for (auto [line, scope] : lines)
        EXPECT_EQ(kelbreg::scope_of(line), scope) << line;

    for (const char* server : {FAKE_SERVER_OK, FAKE_SERVER_ONE}) {
        SetEnvironmentVariableW(L"FAKE_INSTALL", nullptr);
        SetEnvironmentVariableW(L"FAKE_UNINSTALL", nullptr);
        kelbreg::CallServerEntry(nullptr, server, true, kelbreg::scope::user);
        kelbreg::CallServerEntry(nullptr, server, false, kelbreg::scope::user);
        wchar_t install[8] = L"", uninstall[8] = L"";
        GetEnvironmentVariableW(L"FAKE_INSTALL", install, 8);
        GetEnvironmentVariableW(L"FAKE_UNINSTALL", uninstall, 8);
        EXPECT_EQ(std::wstring(install), L"user");
        EXPECT_EQ(std::wstring(uninstall), L"user");
    }
    EXPECT_EQ(texts(), (texts_t{"Registration Successful for the current user",
                                "Unregistration Successful for the current user",
                                "Registration Unsuccessful for the current user",
                                "Unregistration Unsuccessful for the current user"}));
}

TEST_F(RegisterClick, MissingLibraryOrExportIsAnUnexpectedError)
{
    // A working library planted in the current folder and on PATH is not taken.
    const std::string dir = kelbtest::scratch_dir();
    const std::string working = kelbtest::host_path(TEST_DIR) + "\\" FAKE_SERVER_OK;
    ASSERT_TRUE(CopyFileA(working.c_str(), (dir + "\\planted.ocx").c_str(), TRUE));
    char cwd[MAX_PATH], path[32767];
    GetCurrentDirectoryA(MAX_PATH, cwd);
    GetEnvironmentVariableA("PATH", path, sizeof path);
    SetCurrentDirectoryA(dir.c_str());
    SetEnvironmentVariableA("PATH", (dir + ";" + path).c_str());
    kelbreg::CallServerEntry(nullptr, "planted.ocx", true);
    kelbreg::CallServerEntry(nullptr, "no_such_library_here.ocx", false);
    kelbreg::CallServerEntry(nullptr, "kelbzip2_201.dll", true);  // loads, but registers nothing
    SetCurrentDirectoryA(cwd);
    SetEnvironmentVariableA("PATH", path);
    EXPECT_EQ(texts(), (texts_t{missing("planted.ocx"), missing("no_such_library_here.ocx"), unexpected}));
}

TEST_F(PrivateClasses, UnregisteringFailsWhileAKeyCannotBeRemoved)
{
    const wchar_t* keys[] = {L"CLSID\\{93F02EBC-FB39-4672-AFAC-CFCB849A8C30}\\Control",
                             L"TypeLib\\{3A5C19C5-CF50-4E1E-9292-C3BA85E174ED}\\16.0"};
    for (const wchar_t* key : keys) {
        kelbreg::CallServerEntry(nullptr, "kelbzip2_201.ocx", true);
        lock(key, true);
        kelbreg::CallServerEntry(nullptr, "kelbzip2_201.ocx", false);
        lock(key, false);
        kelbreg::CallServerEntry(nullptr, "kelbzip2_201.ocx", false);
        HKEY handle = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, key, 0, KEY_READ, &handle), ERROR_FILE_NOT_FOUND);
        kelbreg::CallServerEntry(nullptr, "kelbzip2_201.ocx", false);  // nothing left to remove
        EXPECT_EQ(texts(), (texts_t{"Registration Successful", "Unregistration Unsuccessful",
                                    "Unregistration Successful", "Unregistration Successful"}));
        messages.clear();
    }
}
