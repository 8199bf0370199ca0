// Widgets built from a dialog template: one widget per control, at the
// template's rectangle converted to pixels with the standard base units, so
// the window logic's pixel moves line up with what is on the screen.
#pragma once

#include "app/DialogTemplate.h"
#include "app/qt/Pictures.h"

#include <QFont>
#include <QWidget>

#include <functional>
#include <map>

namespace app::qt {

// A lamp control: paints its picture into the 16 x 16 pixels at its top left.
class LampWidget : public QWidget {
public:
    LampWidget(const Pictures& pictures, int bitmapId, QWidget* parent);
    void SetPicture(int bitmapId);
    int Picture() const { return bitmapId_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    const Pictures& pictures_;
    int bitmapId_;
};

// The dialogs' font: a narrow sans serif at the size that the templates'
// dialog units were laid out for.
QFont DialogFont();

// Client size of a dialog in pixels.
QSize DialogPixelSize(const DialogTemplate& dialog);

// Builds the controls of `dialog` on `surface` (absolute positions, group
// boxes at the back). `onCommand` is called with the control id when the
// user clicks a button or check box, picks a combo box entry or edits a
// text. Returns the widgets by id; the first control without an id answers
// for ids::kStatic.
std::map<int, QWidget*> BuildControls(const DialogTemplate& dialog, QWidget* surface,
                                      const Pictures& pictures,
                                      const std::function<void(int)>& onCommand);

} // namespace app::qt
