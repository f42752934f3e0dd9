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

TEST_F(RegisterClick, MissingLibraryOrExportIsAnUnexpectedError)
{
    kelbreg::CallServerEntry(nullptr, "no_such_library_here.ocx", true);
    kelbreg::CallServerEntry(nullptr, "no_such_library_here.ocx", false);
    kelbreg::CallServerEntry(nullptr, "kernel32.dll", true);  // loads, but registers nothing
    EXPECT_EQ(texts(), texts_t(3, "Unexpected error registering ocx"));
}
