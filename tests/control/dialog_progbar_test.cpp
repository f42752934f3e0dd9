// The progress bar's model, and the open-file dialog wrapper with the platform's dialog the test's.
#include "control_fixture.h"

#include "common_dialog.h"
#include "progbar.h"

#include <map>

using namespace ctl;

namespace {

// Leaves out defaults, as the host's bag does; the key "BarColor" cannot be read.
struct map_bag : kelb::property_bag {
    bool read(const char* key, int32_t& value, bool) override
    {
        if (key == std::string("BarColor"))
            throw std::runtime_error("unreadable");
        value = values.count(key) ? values[key] : -7;  // what the bar must not use
        return values.count(key);
    }
    void write(const char* key, int32_t value, int32_t default_value, bool) override
    {
        if (value != default_value)
            values[key] = value;
    }
    std::map<std::string, int32_t> values;
};

// Vertical, max, min, value, border, then the rectangles painted on a square of the size given.
std::string shown(const kelb::ProgBar& bar, int32_t size = 100)
{
    std::string out = std::to_string(bar.Vertical()) + " " + std::to_string(bar.Max()) + " " + std::to_string(bar.Min()) +
                      " " + std::to_string(bar.Value()) + " " + std::to_string(bar.BorderStyle()) + ":";
    for (auto& r : bar.Paint(size, size))
        out += " " + std::to_string(r.x1) + "," + std::to_string(r.y1) + "-" + std::to_string(r.x2) + "," +
               std::to_string(r.y2) + (r.color == bar.BarColor() ? " bar" : " back");
    return out;
}

}  // namespace

TEST(ProgBar, StartsHalfFullClampsInAFixedOrderPaintsTheFilledShareAndSavesWhatDiffers)
{
    kelb::progbar_surface surface;
    kelb::ProgBar bar{surface}, loaded{surface};
    bar.InitNew();
    EXPECT_EQ(shown(bar), "0 100 0 50 1: 50,0-100,100 back 0,0-50,100 bar");
    EXPECT_EQ(std::pair(bar.BackColor(), bar.BarColor()), std::pair(0x8000000Fu, 0x8000000Du));
    const std::pair<std::function<void()>, const char*> steps[] = {
        {[&] { bar.put_Max(0); }, "0 1 0 1 1: 1,0-100,100 back 0,0-1,100 bar"},  // the value follows down
        {[&] { bar.put_Max(100); }, "0 100 0 1 1: 1,0-100,100 back 0,0-1,100 bar"},
        {[&] { bar.put_Min(20); }, "0 100 20 20 1: 0,0-100,100 back"},  // and up to a new floor
        {[&] { bar.put_Max(10); }, "0 21 20 20 1: 0,0-100,100 back"},
        {[&] { bar.put_Min(200); }, "0 21 20 20 1: 0,0-100,100 back"},
        {[&] { bar.put_Min(-5); }, "0 21 0 20 1: 20,0-100,100 back 0,0-20,100 bar"},
        {[&] { bar.put_Value(150); }, "0 21 0 21 1: 21,0-100,100 back 0,0-21,100 bar"},
        {[&] { bar.put_Value(-1); }, "0 21 0 0 1: 0,0-100,100 back"},
        {[&] { bar.put_BorderStyle(7); }, "0 21 0 0 1: 0,0-100,100 back"},
        {[&] { bar.put_BorderStyle(-3); }, "0 21 0 0 0: 0,0-100,100 back"},
        {[&] { bar.put_Vertical(true); }, "1 21 0 0 0: 0,0-100,100 back"},
        {[&] { bar.put_Value(4); }, "1 21 0 4 0: 0,0-100,96 back 0,100-100,96 bar"},
    };
    for (auto& [step, expected] : steps) {
        step();
        EXPECT_EQ(shown(bar), expected);
    }
    map_bag bag;
    bar.put_BarColor(0x00FF00);
    bar.WriteProperties(bag);
    EXPECT_EQ(bag.values, (std::map<std::string, int32_t>{
                              {"BarColor", 0x00FF00}, {"Vertical", -1}, {"Max", 21}, {"Value", 4}, {"BorderStyle", 0}}));
    loaded.ReadProperties(bag);
    EXPECT_EQ(shown(loaded), "1 21 0 4 0: 0,0-100,96 back 0,100-100,96 bar");
    EXPECT_EQ(loaded.BarColor(), 0u) << "the unreadable colour keeps its value, and costs only itself";
}

// The platform's dialog answers 1 with the file given, title "t", read-only and filter 2, or 0 or 2 (failed).
TEST(Dialog, OpenFileNameFillsTheAnswersOrEmptiesThem)
{
    platform_double os{"."};
    int32_t result = 1;
    std::string file = "C:\\start\\b.bz2";
    kelb::open_file_request seen;
    os.dialog = [&](kelb::open_file_request& request) {
        seen = request;
        if (result == 1) {
            request.file.replace(0, file.size() + 1, file + '\0');
            request.file_title.replace(0, 2, with_nuls("t\0"));
            request.flags |= kelb::ofn_readonly;
            request.filter_index = 2;
        }
        return result;
    };
    kelb::pcCommonDialog dialog;
    kelb::open_file_options options;
    options.Filter = u"Text:*.txt|Bzip2|*.bz2";
    options.flags = 0x20 | 0x40 | 0x8;  // the hook and template are dropped
    options.Filename = text(260, u'x');  // as much as the buffer holds
    ASSERT_TRUE(dialog.VBGetOpenFileName(options));
    EXPECT_EQ(seen.flags, 0x81008u) << "explorer style, and must exist by default";
    EXPECT_EQ(seen.owner, 0) << "-1 means no owner";
    EXPECT_EQ(seen.filter, with_nuls("Text\0*.txt\0Bzip2\0*.bz2\0\0"));
    EXPECT_EQ(seen.file, std::string(260, 'x'));
    EXPECT_EQ(narrow(options.Filename + u" " + options.FileTitle), "C:\\start\\b.bz2 t");
    EXPECT_EQ(options.Filter, with_nuls(u"Bzip2\0*.bz2"));
    EXPECT_TRUE(options.ReadOnly && options.FilterIndex == 2 && options.flags == 0x81009u);
    options = kelb::open_file_options{};
    options.MultiSelect = options.ReadOnly = options.HideReadOnly = true;
    file = with_nuls("C:\\d\0a\0b\0");
    ASSERT_TRUE(dialog.VBGetOpenFileName(options));
    EXPECT_EQ(seen.flags, 0x81205u);
    EXPECT_EQ(options.Filename, with_nuls(u"C:\\d\0a\0b")) << "the names up to the double NUL";
    text sep(1, kelb::real_control_platform().path_separator);
    EXPECT_EQ(kelb::GetMultiSelectFileNames(options.Filename), (std::vector<text>{u"C:\\d" + sep + u"b", u"C:\\d" + sep + u"a"}));
    EXPECT_EQ(kelb::GetMultiSelectFileNames(u"C:\\d\\one"), std::vector<text>{u"C:\\d\\one"});
    for (int32_t answer : {0, 2}) {
        result = answer;
        options.Filename = u"start.txt";
        EXPECT_FALSE(dialog.VBGetOpenFileName(options));
        EXPECT_EQ(dialog.ExtendedError(), answer ? 0x3003u : 0u) << "only a failure reads the extended error";
        EXPECT_EQ(options.Filename + options.FileTitle + options.Filter, u"");
        EXPECT_TRUE(options.flags == 0 && options.FilterIndex == -1);
        EXPECT_EQ(seen.file.substr(0, 10), with_nuls("start.txt\0"));
    }
    options.Filename = text(261, u'x');
    EXPECT_THROW(dialog.VBGetOpenFileName(options), kelb::host_error) << "longer than the buffer";
    control_on_form form;  // its OpenFile asks for any file and answers its path or nothing
    result = 1;
    file = "C:\\data\\new name.txt";
    EXPECT_EQ(narrow(form.control->OpenFile(u"Choose", u"All:*.*", u"C:\\data")), file);
    EXPECT_EQ(seen.flags, 0x80000u) << "the file need not exist";
    EXPECT_EQ(seen.title + " " + seen.initial_dir, "Choose C:\\data");
    result = 0;
    EXPECT_EQ(form.control->OpenFile(u"Choose", u"", u""), u"");
}
