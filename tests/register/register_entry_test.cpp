#include "register_entry.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using texts = std::vector<std::string>;
texts shown;
struct RegisterClick : testing::Test {
    RegisterClick()
    {
        shown.clear();
        kelbreg::show_message = [](HWND, const char* text, const char* caption) {
            shown.push_back(std::string(caption) == "Register" ? text : std::string("caption ") + caption);
        };
    }
};

}  // namespace

TEST_F(RegisterClick, EachResultGivesItsMessageMachineWideAndPerUser)
{
    for (auto [line, scope] : {std::pair{"", kelbreg::scope::machine}, {"x -USER", kelbreg::scope::user},
                               {"/username", kelbreg::scope::machine}, {"user", kelbreg::scope::machine}})
        EXPECT_EQ(kelbreg::scope_of(line), scope) << line;
    // Any result but 0 is unsuccessful; per user, DllInstall gets "user".
    for (const char* server : {"fake_server_0.dll", "fake_server_1.dll"})
        for (auto scope : {kelbreg::scope::machine, kelbreg::scope::user}) {
            kelbreg::CallServerEntry(nullptr, server, true, scope);
            kelbreg::CallServerEntry(nullptr, server, false, scope);
        }
    wchar_t install[8] = L"", uninstall[8] = L"";
    GetEnvironmentVariableW(L"FAKE_INSTALL", install, 8);
    GetEnvironmentVariableW(L"FAKE_UNINSTALL", uninstall, 8);
    EXPECT_EQ(std::wstring(install) + L" " + uninstall, L"user user");
    EXPECT_EQ(shown, (texts{"Registration Successful", "Unregistration Successful",
                            "Registration Successful for the current user",
                            "Unregistration Successful for the current user", "Registration Unsuccessful",
                            "Unregistration Unsuccessful", "Registration Unsuccessful for the current user",
                            "Unregistration Unsuccessful for the current user"}));
}

TEST_F(RegisterClick, MissingLibraryOrExportIsAnUnexpectedError)
{
    // A working library planted in the current folder and on PATH is not taken.
    const std::string dir = kelbtest::scratch_dir(), here = kelbtest::host_path(TEST_DIR) + "\\";
    ASSERT_TRUE(CopyFileA((here + "fake_server_0.dll").c_str(), (dir + "\\planted.ocx").c_str(), TRUE));
    char cwd[MAX_PATH], path[32767];
    GetCurrentDirectoryA(MAX_PATH, cwd);
    GetEnvironmentVariableA("PATH", path, sizeof path);
    SetCurrentDirectoryA(dir.c_str());
    SetEnvironmentVariableA("PATH", (dir + ";" + path).c_str());
    kelbreg::CallServerEntry(nullptr, "planted.ocx", true);
    kelbreg::CallServerEntry(nullptr, "kelbzip2_201.dll", true);  // loads, but registers nothing
    SetCurrentDirectoryA(cwd);
    SetEnvironmentVariableA("PATH", path);
    const std::string unexpected = "Unexpected error registering ocx";
    EXPECT_EQ(shown, (texts{unexpected + "\n\nThe library is missing: " + here + "planted.ocx", unexpected}));
}

// The real library; this process's classes go to a key of their own, the prefix's stay as they are.
TEST_F(RegisterClick, UnregisteringFailsWhileAKeyCannotBeRemoved)
{
    const wchar_t* root = L"Software\\KELBzip2 register test";
    HKEY classes = nullptr, handle = nullptr;
    RegDeleteTreeW(HKEY_CURRENT_USER, root);
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, root, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &classes, nullptr), 0);
    ASSERT_EQ(RegOverridePredefKey(HKEY_CLASSES_ROOT, classes), 0);
    // A class's key, locked by an empty access list: its failure must not be hidden by the type library's removal.
    const wchar_t* key = L"CLSID\\{93F02EBC-FB39-4672-AFAC-CFCB849A8C30}\\Control";
    kelbreg::CallServerEntry(nullptr, "kelbzip2_201.ocx", true);
    SECURITY_DESCRIPTOR sd;
    ACL empty;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, key, 0, WRITE_DAC, &handle), 0);
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    InitializeAcl(&empty, sizeof empty, ACL_REVISION);
    for (PACL acl : {&empty, PACL(nullptr)}) {
        SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE);
        EXPECT_EQ(RegSetKeySecurity(handle, DACL_SECURITY_INFORMATION, &sd), 0);
        kelbreg::CallServerEntry(nullptr, "kelbzip2_201.ocx", false);
    }
    RegCloseKey(handle);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, key, 0, KEY_READ, &handle), ERROR_FILE_NOT_FOUND);
    kelbreg::CallServerEntry(nullptr, "kelbzip2_201.ocx", false);  // nothing left to remove
    RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    RegCloseKey(classes);
    RegDeleteTreeW(HKEY_CURRENT_USER, root);
    EXPECT_EQ(shown, (texts{"Registration Successful", "Unregistration Unsuccessful", "Unregistration Successful",
                            "Unregistration Successful"}));
}
