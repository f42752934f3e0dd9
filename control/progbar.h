// ProgBar: the progress bar the control library offers beside KELBzip2, as
// a model a shell draws. It keeps a range and a position with strict
// clamping, paints itself as two rectangles, and saves seven properties.
#pragma once

#include <cstdint>
#include <vector>

namespace kelb {

enum BorderStyles : int32_t { bdNone = 0, bdFixedSingle = 1 };

// OLE colours: the top bit marks a system colour.
constexpr uint32_t system_colour_button_face = 0x8000000F;
constexpr uint32_t system_colour_highlight = 0x8000000D;

// What the bar asks of the surface it lives on. Any of these may throw; a
// put lets the error through, loading and rescaling swallow it.
class progbar_surface {
public:
    virtual ~progbar_surface() = default;
    virtual void set_back_color(uint32_t) {}
    virtual void set_border(int32_t) {}
    // The inner area becomes width by height user units.
    virtual void set_scale(int32_t, int32_t) {}
    virtual void repaint() {}
    // The property-change notification, with the property's name.
    virtual void property_changed(const char*) {}
};

// The host's saved properties. Booleans travel as -1 and 0.
class property_bag {
public:
    virtual ~property_bag() = default;
    // False when the key is absent; throws when the value cannot be read.
    virtual bool read(const char* key, int32_t& value, bool boolean) = 0;
    // A bag may leave out a value equal to its default.
    virtual void write(const char* key, int32_t value, int32_t default_value, bool boolean) = 0;
};

// One filled rectangle, edges included, corners as painted.
struct bar_rectangle {
    int32_t x1, y1, x2, y2;
    uint32_t color;
};

class ProgBar {
public:
    explicit ProgBar(progbar_surface& surface) : surface_(surface) {}

    // A new instance's defaults, or the saved ones; then saving them again.
    void InitNew();
    void ReadProperties(property_bag& bag);
    void WriteProperties(property_bag& bag) const;

    uint32_t BackColor() const { return BackColor_; }
    uint32_t BarColor() const { return BarColor_; }
    bool Vertical() const { return Vertical_; }
    int32_t Max() const { return Max_; }
    int32_t Min() const { return Min_; }
    int32_t Value() const { return Value_; }
    int32_t BorderStyle() const { return BorderStyle_; }

    // Every put clamps, never refuses, and always notifies.
    void put_BackColor(uint32_t color);
    void put_BarColor(uint32_t color);
    void put_Vertical(bool vertical);
    void put_Max(int32_t value);
    void put_Min(int32_t value);
    void put_Value(int32_t value);
    void put_BorderStyle(int32_t style);

    // The surface was resized: the inner area is Max - Min units either way.
    void Rescale();
    // The rectangles of one repaint of an inner area width by height user
    // units (read back from the surface, rounded), background first.
    std::vector<bar_rectangle> Paint(int32_t width, int32_t height) const;

private:
    progbar_surface& surface_;
    uint32_t BackColor_ = 0;
    uint32_t BarColor_ = 0;
    bool Vertical_ = false;
    int32_t Min_ = 0;
    int32_t Max_ = 0;
    int32_t Value_ = 0;
    int32_t BorderStyle_ = 0;
};

}  // namespace kelb
