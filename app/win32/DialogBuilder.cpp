#include "app/win32/DialogBuilder.h"

#include "app/ControlIds.h"

#include <commctrl.h>

#include <cstdlib>

namespace app::win32 {
namespace {

// Atoms of the system's predefined control classes.
constexpr WORD kButtonClass = 0x0080;
constexpr WORD kEditClass = 0x0081;
constexpr WORD kStaticClass = 0x0082;
constexpr WORD kComboBoxClass = 0x0085;

// A drop-down combo box's template height includes its list.
constexpr int kComboListHeight = 160;

} // namespace

DWORD ControlStyle(const ControlTemplate& c) {
    DWORD style = WS_CHILD;
    if (c.visible)
        style |= WS_VISIBLE;
    if (!c.enabled)
        style |= WS_DISABLED;
    switch (c.kind) {
    case ControlKind::PushButton:
        return style | BS_PUSHBUTTON | WS_TABSTOP;
    case ControlKind::DefPushButton:
        return style | BS_DEFPUSHBUTTON | WS_TABSTOP;
    case ControlKind::CheckBox:
        return style | BS_AUTOCHECKBOX | WS_TABSTOP;
    case ControlKind::GroupBox:
        return style | BS_GROUPBOX;
    case ControlKind::Edit:
        return style | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP | (c.readOnly ? ES_READONLY : 0);
    case ControlKind::Static:
        return style | SS_LEFT;
    case ControlKind::Bitmap:
        return style | SS_OWNERDRAW; // the host paints the lamp picture
    case ControlKind::Icon:
        return style | SS_ICON;
    case ControlKind::ComboBox:
        return style | CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP;
    case ControlKind::ProgressBar:
        return style | WS_BORDER;
    }
    return style;
}

DialogResource::DialogResource(const DialogTemplate& d) {
    DWORD style = WS_POPUP | DS_MODALFRAME | DS_SETFONT;
    if (d.title && *d.title)
        style |= WS_CAPTION;
    if (d.systemMenu)
        style |= WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    Word(LOWORD(style));
    Word(HIWORD(style));
    Word(0); // extended style
    Word(0);
    Word(static_cast<WORD>(d.controls.size()));
    Word(0); // x, y
    Word(0);
    Word(static_cast<WORD>(d.cx));
    Word(static_cast<WORD>(d.cy));
    Word(0); // no menu
    Word(0); // the dialog class
    Text(d.title);
    Word(static_cast<WORD>(d.fontPoints));
    Text(d.fontName);

    for (const ControlTemplate& c : d.controls) {
        AlignDword();
        const DWORD controlStyle = ControlStyle(c);
        Word(LOWORD(controlStyle));
        Word(HIWORD(controlStyle));
        Word(0);
        Word(0);
        Word(static_cast<WORD>(c.dlu.x));
        Word(static_cast<WORD>(c.dlu.y));
        Word(static_cast<WORD>(c.dlu.cx));
        Word(static_cast<WORD>(c.kind == ControlKind::ComboBox ? c.dlu.cy + kComboListHeight
                                                               : c.dlu.cy));
        Word(static_cast<WORD>(c.id == ids::kStatic ? 0xFFFF : c.id));
        switch (c.kind) {
        case ControlKind::PushButton:
        case ControlKind::DefPushButton:
        case ControlKind::CheckBox:
        case ControlKind::GroupBox:
            Word(0xFFFF);
            Word(kButtonClass);
            break;
        case ControlKind::Edit:
            Word(0xFFFF);
            Word(kEditClass);
            break;
        case ControlKind::Static:
        case ControlKind::Bitmap:
        case ControlKind::Icon:
            Word(0xFFFF);
            Word(kStaticClass);
            break;
        case ControlKind::ComboBox:
            Word(0xFFFF);
            Word(kComboBoxClass);
            break;
        case ControlKind::ProgressBar:
            Text(PROGRESS_CLASSA);
            break;
        }
        if (c.kind == ControlKind::Icon) {
            Word(0xFFFF); // the caption names the icon resource
            Word(static_cast<WORD>(std::atoi(c.caption)));
        } else if (c.kind == ControlKind::Bitmap) {
            Word(0);
        } else {
            Text(c.caption);
        }
        Word(0); // no creation data
    }
}

void DialogResource::Text(const char* text) {
    for (const char* p = text ? text : ""; *p; ++p)
        Word(static_cast<unsigned char>(*p));
    Word(0);
}

void DialogResource::AlignDword() {
    if (words_.size() % 2)
        Word(0);
}

} // namespace app::win32
