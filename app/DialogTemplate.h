// Dialog templates as data: every host builds its dialogs from these tables,
// so no host keeps a layout of its own. Rectangles are in dialog units, as
// the platform's dialog resources give them; ToPixels converts them with the
// dialog font's base units.
#pragma once

#include <string>
#include <vector>

namespace app {

enum class ControlKind {
    PushButton,
    DefPushButton,
    CheckBox,
    GroupBox,
    Edit,        // single-line edit; read-only when ControlTemplate::readOnly
    Static,      // text label
    Bitmap,      // static picture (a lamp)
    Icon,        // static icon
    ComboBox,    // drop-down list
    ProgressBar, // horizontal bar, range 0-100 unless the logic sets one
};

struct Rect {
    int x = 0;  // left
    int y = 0;  // top
    int cx = 0; // width
    int cy = 0; // height

    int Right() const { return x + cx; }
    int Bottom() const { return y + cy; }
    bool operator==(const Rect&) const = default;
};

struct ControlTemplate {
    int id; // ids::kStatic (-1) for controls the code never addresses
    ControlKind kind;
    const char* caption; // text, or for Bitmap and Icon the picture's id as text ("145")
    Rect dlu;
    bool visible = true;
    bool enabled = true;
    bool readOnly = false;
};

struct DialogTemplate {
    int id;
    const char* title; // empty: no caption bar
    int cx;            // client width and height in dialog units
    int cy;
    const char* fontName;
    int fontPoints;
    bool systemMenu; // caption with system menu and minimise box
    std::vector<ControlTemplate> controls;

    // The first control with `id` (ids::kStatic finds the first one without
    // an id), or null.
    const ControlTemplate* Find(int id) const;
};

// The dialog font's average character width and height in pixels.
struct BaseUnits {
    int cx;
    int cy;
};
// The base units of the dialogs' font at 96 dots per inch, which the
// window's pixel moves are measured in.
inline constexpr BaseUnits kStandardBaseUnits{6, 13};

// Dialog units to pixels, rounded as the platform rounds (x * cx / 4,
// y * cy / 8, to the nearest pixel, halves away from zero). The four edges
// are converted, so a size is the difference of its converted edges.
Rect ToPixels(const Rect& dlu, BaseUnits units = kStandardBaseUnits);

// The four dialogs of the program.
const DialogTemplate& AboutDialogTemplate();          // 100
const DialogTemplate& MainDialogTemplate();           // 102
const DialogTemplate& LoadProgressDialogTemplate();   // 103
const DialogTemplate& UpdateProgressDialogTemplate(); // 150
const DialogTemplate* FindDialogTemplate(int id);

} // namespace app
