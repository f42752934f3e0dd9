#include "progbar.h"

namespace kelb {

namespace {

constexpr int32_t default_max = 100;
constexpr int32_t default_min = 0;
constexpr int32_t default_value = 50;

template <typename Step>
void ignoring_failure(Step step)
{
    try {
        step();
    } catch (...) {
    }
}

}  // namespace

void ProgBar::InitNew()
{
    put_BackColor(system_colour_button_face);
    put_BarColor(system_colour_highlight);
    put_Vertical(false);
    put_Max(default_max);
    put_Min(default_min);
    put_Value(default_value);
    put_BorderStyle(bdFixedSingle);
}

// The limits are read before the value they clamp. One property that
// cannot be read or applied keeps its value; the others still load.
void ProgBar::ReadProperties(property_bag& bag)
{
    auto load = [&](const char* key, int32_t fallback, bool boolean, auto put) {
        ignoring_failure([&] {
            int32_t value = fallback;
            if (!bag.read(key, value, boolean))
                value = fallback;
            put(value);
        });
    };
    load("BackColor", int32_t(system_colour_button_face), false, [&](int32_t v) { put_BackColor(uint32_t(v)); });
    load("BarColor", int32_t(system_colour_highlight), false, [&](int32_t v) { put_BarColor(uint32_t(v)); });
    load("Vertical", 0, true, [&](int32_t v) { put_Vertical(v != 0); });
    load("Max", default_max, false, [&](int32_t v) { put_Max(v); });
    load("Min", default_min, false, [&](int32_t v) { put_Min(v); });
    load("Value", default_value, false, [&](int32_t v) { put_Value(v); });
    load("BorderStyle", bdFixedSingle, false, [&](int32_t v) { put_BorderStyle(v); });
}

void ProgBar::WriteProperties(property_bag& bag) const
{
    bag.write("BackColor", int32_t(BackColor_), int32_t(system_colour_button_face), false);
    bag.write("BarColor", int32_t(BarColor_), int32_t(system_colour_highlight), false);
    bag.write("Vertical", Vertical_ ? -1 : 0, 0, true);
    bag.write("Max", Max_, default_max, false);
    bag.write("Min", Min_, default_min, false);
    bag.write("Value", Value_, default_value, false);
    bag.write("BorderStyle", BorderStyle_, bdFixedSingle, false);
}

void ProgBar::put_BackColor(uint32_t color)
{
    BackColor_ = color;
    surface_.set_back_color(color);
    surface_.repaint();
    surface_.property_changed("BackColor");
}

void ProgBar::put_BarColor(uint32_t color)
{
    BarColor_ = color;
    surface_.repaint();
    surface_.property_changed("BarColor");
}

void ProgBar::put_Vertical(bool vertical)
{
    Vertical_ = vertical;
    Rescale();
    surface_.property_changed("Vertical");
}

void ProgBar::put_Max(int32_t value)
{
    if (value < 1)
        value = 1;
    if (value <= Min_)
        value = Min_ + 1;
    Max_ = value;
    if (Value_ > value)
        put_Value(value);
    Rescale();
    surface_.property_changed("Max");
}

void ProgBar::put_Min(int32_t value)
{
    if (value >= Max_)
        value = Max_ - 1;
    if (value < 0)
        value = 0;
    Min_ = value;
    if (Value_ < value)
        put_Value(value);
    Rescale();
    surface_.property_changed("Min");
}

void ProgBar::put_Value(int32_t value)
{
    if (value > Max_)
        value = Max_;
    if (value < Min_)
        value = Min_;
    Value_ = value;
    surface_.repaint();
    surface_.property_changed("Value");
}

void ProgBar::put_BorderStyle(int32_t style)
{
    if (style < bdNone)
        style = bdNone;
    if (style > bdFixedSingle)
        style = bdFixedSingle;
    BorderStyle_ = style;
    surface_.set_border(style);
    Rescale();
    surface_.property_changed("BorderStyle");
}

void ProgBar::Rescale()
{
    ignoring_failure([&] { surface_.set_scale(Max_ - Min_, Max_ - Min_); });
    ignoring_failure([&] { surface_.repaint(); });
}

std::vector<bar_rectangle> ProgBar::Paint(int32_t width, int32_t height) const
{
    int32_t done = Value_ - Min_;
    std::vector<bar_rectangle> painted;
    if (!Vertical_) {
        painted.push_back({done, 0, width, height, BackColor_});
        if (done > 0)
            painted.push_back({0, 0, done, height, BarColor_});
    } else {
        painted.push_back({0, 0, width, height - done, BackColor_});
        if (done > 0)
            painted.push_back({0, height, width, height - done, BarColor_});
    }
    return painted;
}

}  // namespace kelb
