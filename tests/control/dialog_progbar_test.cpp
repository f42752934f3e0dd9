// The progress bar's model, and the open-file dialog wrapper with the
// platform's dialog replaced by a double.
#include "control_fixture.h"

#include "common_dialog.h"
#include "progbar.h"

#include <map>
#include <stdexcept>

using namespace ctl;
using lines = std::vector<std::string>;

namespace {

// Records what the bar asks of its surface.
struct recording_surface : kelb::progbar_surface {
    void set_scale(int32_t width, int32_t height) override
    {
        scale = std::to_string(width) + "x" + std::to_string(height);
    }
    void property_changed(const char* name) override { changed.push_back(name); }
    std::string scale;
    lines changed;
};

// A property bag that leaves out defaults, as the host's does.
struct map_bag : kelb::property_bag {
    bool read(const char* key, int32_t& value, bool) override
    {
        if (unreadable == key)
            throw std::runtime_error("unreadable");
        auto found = values.find(key);
        return found != values.end() && (value = found->second, true);
    }
    void write(const char* key, int32_t value, int32_t default_value, bool) override
    {
        if (value != default_value)
            values[key] = value;
    }
    std::map<std::string, int32_t> values;
    std::string unreadable;
};

std::string painted(const kelb::ProgBar& bar, int32_t size)
{
    std::string out;
    for (auto& r : bar.Paint(size, size))
        out += "(" + std::to_string(r.x1) + "," + std::to_string(r.y1) + ")-(" + std::to_string(r.x2) + "," +
               std::to_string(r.y2) + (r.color == bar.BarColor() ? ") bar " : ") back ");
    return out;
}

class ProgBar : public testing::Test {
protected:
    recording_surface surface;
    kelb::ProgBar bar{surface};
    void SetUp() override { bar.InitNew(); }
};

}  // namespace

TEST_F(ProgBar, StartsHalfFullWithASingleBorder)
{
    EXPECT_EQ(bar.BackColor(), 0x8000000Fu);
    EXPECT_EQ(bar.BarColor(), 0x8000000Du);
    EXPECT_FALSE(bar.Vertical());
    EXPECT_EQ(bar.Max(), 100);
    EXPECT_EQ(bar.Min(), 0);
    EXPECT_EQ(bar.Value(), 50);
    EXPECT_EQ(bar.BorderStyle(), kelb::bdFixedSingle);
    EXPECT_EQ(surface.changed, (lines{"BackColor", "BarColor", "Vertical", "Max", "Min", "Value", "BorderStyle"}));
    EXPECT_EQ(surface.scale, "100x100");
    EXPECT_EQ(painted(bar, 100), "(50,0)-(100,100) back (0,0)-(50,100) bar ");
}

TEST_F(ProgBar, OutOfRangeValuesAreClampedInTheirFixedOrder)
{
    bar.put_Max(0);
    EXPECT_EQ(bar.Max(), 1);
    EXPECT_EQ(bar.Value(), 1) << "the value follows the limit down";
    bar.put_Max(100);
    bar.put_Min(20);
    EXPECT_EQ(bar.Value(), 20) << "the value is raised to the new floor";
    bar.put_Max(10);
    EXPECT_EQ(bar.Max(), 21);
    bar.put_Min(200);
    EXPECT_EQ(bar.Min(), 20);
    bar.put_Min(-5);
    EXPECT_EQ(bar.Min(), 0);
    bar.put_Value(150);
    EXPECT_EQ(bar.Value(), 21);
    bar.put_Value(-1);
    EXPECT_EQ(bar.Value(), 0);
    bar.put_BorderStyle(7);
    EXPECT_EQ(bar.BorderStyle(), 1);
    bar.put_BorderStyle(-3);
    EXPECT_EQ(bar.BorderStyle(), 0);

    // Every put notifies, also one that changes nothing.
    surface.changed.clear();
    bar.put_Value(0);
    bar.put_Vertical(false);
    EXPECT_EQ(surface.changed, (lines{"Value", "Vertical"}));
}

TEST_F(ProgBar, PaintsTheFilledShareFromTheLeftOrFromTheBottom)
{
    bar.put_Value(-1);
    EXPECT_EQ(painted(bar, 100), "(0,0)-(100,100) back ") << "no bar rectangle at all";
    bar.put_Vertical(true);
    bar.put_Value(25);
    EXPECT_EQ(painted(bar, 100), "(0,0)-(100,75) back (0,100)-(100,75) bar ");
    bar.put_Max(1010);
    bar.put_Min(1000);
    bar.put_Value(1004);
    EXPECT_EQ(surface.scale, "10x10");
    EXPECT_EQ(painted(bar, 10), "(0,0)-(10,6) back (0,10)-(10,6) bar ");
}

TEST_F(ProgBar, SavedPropertiesComeBackAndOneUnreadableCostsOnlyItself)
{
    bar.put_BarColor(0x00FF00);
    bar.put_Vertical(true);
    bar.put_Max(400);
    bar.put_Min(10);
    bar.put_Value(321);
    map_bag bag;
    bar.WriteProperties(bag);
    EXPECT_EQ(bag.values, (std::map<std::string, int32_t>{
                              {"BarColor", 0x00FF00}, {"Vertical", -1}, {"Max", 400}, {"Min", 10}, {"Value", 321}}));

    recording_surface other;
    kelb::ProgBar loaded(other);
    bag.unreadable = "BarColor";
    loaded.ReadProperties(bag);
    EXPECT_EQ(loaded.BarColor(), 0u) << "kept its value";
    EXPECT_EQ(loaded.BackColor(), 0x8000000Fu);
    EXPECT_TRUE(loaded.Vertical());
    EXPECT_EQ(loaded.Max(), 400);
    EXPECT_EQ(loaded.Min(), 10);
    EXPECT_EQ(loaded.Value(), 321);
    EXPECT_EQ(loaded.BorderStyle(), 1);

    bag.values = {{"Max", 50}, {"Min", 80}, {"Value", 500}};
    loaded.ReadProperties(bag);
    EXPECT_EQ(loaded.Min(), 49) << "loading clamps like the puts";
    EXPECT_EQ(loaded.Value(), 50);
}

TEST(DialogFunctions, FilterFlagsAndMultiSelectNames)
{
    EXPECT_EQ(kelb::dialog_filter(u"All (*.*)| *.*"), with_nuls(u"All (*.*)\0 *.*\0\0"));
    text converted = kelb::dialog_filter(u"Text:*.txt|Bzip2:*.bz2");
    EXPECT_EQ(converted, with_nuls(u"Text\0*.txt\0Bzip2\0*.bz2\0\0"));
    EXPECT_EQ(kelb::dialog_filter(u""), text(2, u'\0'));
    EXPECT_EQ(kelb::filter_pair(converted, 2), with_nuls(u"Bzip2\0*.bz2"));
    EXPECT_EQ(kelb::filter_pair(converted, 3), u"");

    EXPECT_EQ(kelb::open_dialog_flags(0x20 | 0x40 | 0x8, false, false, false, false), 0x80008u);
    EXPECT_EQ(kelb::open_dialog_flags(0, true, true, true, true), 0x81205u);

    text sep(1, kelb::real_control_platform().path_separator);
    EXPECT_EQ(kelb::GetMultiSelectFileNames(with_nuls(u"C:\\d\0a\0b\0c")),
              (std::vector<text>{u"C:\\d" + sep + u"b", u"C:\\d" + sep + u"c", u"C:\\d" + sep + u"a"}));
    EXPECT_EQ(kelb::GetMultiSelectFileNames(u"C:\\d\\one"), std::vector<text>{u"C:\\d\\one"});
}

namespace {

// The platform's dialog replaced: it records the request and answers as told.
struct dialog_script {
    int32_t result = 1;
    std::string file;
    int32_t chosen_index = 1;
    kelb::open_file_request seen;
};
dialog_script script;

kelb::control_platform_ops dialog_double()
{
    kelb::control_platform_ops ops = kelb::real_control_platform();
    ops.show_open_dialog = [](kelb::open_file_request& request) {
        script.seen = request;
        if (script.result == 1) {
            request.file.replace(0, script.file.size(), script.file);
            request.file_title.replace(0, 5, "title", 5);
            request.flags |= kelb::ofn_readonly;
            request.filter_index = script.chosen_index;
        }
        return script.result;
    };
    ops.dialog_extended_error = [] { return 0x3003u; };
    return ops;
}
const kelb::control_platform_ops dialog_ops = dialog_double();

class Dialog : public testing::Test {
protected:
    void SetUp() override
    {
        script = dialog_script{};
        kelb::use_control_platform(&dialog_ops);
    }
    void TearDown() override { kelb::use_control_platform(nullptr); }
    kelb::pcCommonDialog dialog;
    kelb::open_file_options options;
};

}  // namespace

TEST_F(Dialog, ConfirmedChoiceFillsTheAnswers)
{
    options.Filter = u"Text|*.txt|Bzip2|*.bz2";
    options.flags = 0x20;
    script.file = "C:\\start\\b.bz2";
    script.chosen_index = 2;
    ASSERT_TRUE(dialog.VBGetOpenFileName(options));
    EXPECT_EQ(script.seen.flags, 0x81000u) << "must exist by default, hook dropped";
    EXPECT_EQ(script.seen.owner, 0) << "-1 means no owner";
    EXPECT_EQ(script.seen.file.size(), 260u);
    EXPECT_EQ(script.seen.file_title.size(), 260u);
    EXPECT_EQ(narrow(options.Filename), "C:\\start\\b.bz2");
    EXPECT_EQ(narrow(options.FileTitle), "title");
    EXPECT_EQ(options.Filter, with_nuls(u"Bzip2\0*.bz2"));
    EXPECT_EQ(options.FilterIndex, 2);
    EXPECT_TRUE(options.ReadOnly);
    EXPECT_EQ(options.flags, 0x81001u);

    // Multi-select: the names up to the double NUL, the title untouched.
    options = kelb::open_file_options{};
    options.MultiSelect = true;
    script.file = with_nuls("C:\\d\0a\0b\0\0");
    ASSERT_TRUE(dialog.VBGetOpenFileName(options));
    EXPECT_EQ(options.Filename, with_nuls(u"C:\\d\0a\0b"));
    EXPECT_EQ(options.FileTitle, u"");
}

TEST_F(Dialog, CancelAndFailureBothAnswerFalseWithEmptyOutputs)
{
    for (int32_t result : {0, 2}) {
        options.Filename = u"start.txt";
        options.flags = 0x4;
        script.result = result;
        EXPECT_FALSE(dialog.VBGetOpenFileName(options));
        EXPECT_EQ(dialog.ExtendedError(), result ? 0x3003u : 0u) << "only a failure reads the extended error";
        EXPECT_TRUE(options.Filename.empty() && options.FileTitle.empty() && options.Filter.empty());
        EXPECT_EQ(options.flags, 0u);
        EXPECT_EQ(options.FilterIndex, -1);
        EXPECT_EQ(script.seen.file.substr(0, 10), with_nuls("start.txt\0"));
    }
    options.Filename = text(261, u'x');
    EXPECT_THROW(dialog.VBGetOpenFileName(options), kelb::host_error) << "longer than the buffer";
}

TEST_F(Dialog, OpenFileAsksForAnyFileAndAnswersItsPathOrNothing)
{
    control_on_form form;
    script.file = "C:\\data\\new name.txt";
    EXPECT_EQ(narrow(form.control->OpenFile(u"Choose", u"All:*.*", u"C:\\data")), "C:\\data\\new name.txt");
    EXPECT_EQ(script.seen.flags, 0x80000u) << "the file need not exist";
    EXPECT_EQ(script.seen.title, "Choose");
    EXPECT_EQ(script.seen.initial_dir, "C:\\data");
    EXPECT_EQ(script.seen.filter, with_nuls("All\0*.*\0\0"));
    script.result = 0;
    EXPECT_EQ(form.control->OpenFile(u"Choose", u"", u""), u"");
}
