// The window's pictures, read from the image files beside the program: the
// four lamps (RGB(0, 128, 128) made transparent) and the program icon. A
// missing or unreadable file is reported once on the standard error and
// replaced by a plain drawing in the picture's colour, so a lamp still says
// what it should.
#pragma once

#include <QIcon>
#include <QPixmap>

#include <map>
#include <string>

namespace app::qt {

class Pictures {
public:
    // Reads lamp143.bmp .. lamp146.bmp and icon128.ico from `folder`.
    explicit Pictures(const std::string& folder);

    // The picture of `bitmapId` (143-146); a null pixmap for other ids.
    QPixmap Lamp(int bitmapId) const;
    QIcon Icon() const { return icon_; }

    // The folder beside the program when it holds the pictures, else
    // `fallback` (a build tree's source folder).
    static std::string FindFolder(const std::string& fallback);

private:
    std::map<int, QPixmap> lamps_;
    QIcon icon_;
};

} // namespace app::qt
