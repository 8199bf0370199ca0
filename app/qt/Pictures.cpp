#include "app/qt/Pictures.h"

#include "app/ControlIds.h"
#include "port/ProgramPath.h"

#include <QFileInfo>
#include <QImage>
#include <QPainter>

#include <cstdio>

namespace app::qt {
namespace {

constexpr QRgb kTransparentKey = qRgb(0, 128, 128);
constexpr int kLampSize = 17;

QColor FallbackColour(int bitmapId) {
    switch (bitmapId) {
    case ids::kBitmapRed:
        return QColor(215, 35, 30);
    case ids::kBitmapBlue:
        return QColor(40, 90, 225);
    case ids::kBitmapGreen:
        return QColor(35, 175, 55);
    default:
        return QColor(150, 150, 150);
    }
}

QPixmap DrawnLamp(int bitmapId) {
    QImage image(kLampSize, kLampSize, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(Qt::NoPen);
    painter.setBrush(FallbackColour(bitmapId));
    painter.drawEllipse(0, 0, 16, 16);
    return QPixmap::fromImage(image);
}

QPixmap KeyedOut(const QImage& picture) {
    QImage image = picture.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            if ((line[x] & 0x00FFFFFF) == (kTransparentKey & 0x00FFFFFF))
                line[x] = qRgba(0, 0, 0, 0);
    }
    return QPixmap::fromImage(image);
}

QString FilePath(const std::string& folder, const std::string& name) {
    return QString::fromStdString(folder + "/" + name);
}

} // namespace

Pictures::Pictures(const std::string& folder) {
    for (int id = ids::kBitmapRed; id <= ids::kBitmapGrey; ++id) {
        const QString path = FilePath(folder, "lamp" + std::to_string(id) + ".bmp");
        QImage picture(path);
        if (picture.isNull()) {
            std::fprintf(stderr,
                         "burnwright: cannot read the lamp picture %s; drawing it plainly\n",
                         path.toLocal8Bit().constData());
            lamps_[id] = DrawnLamp(id);
        } else {
            lamps_[id] = KeyedOut(picture);
        }
    }
    const QString iconPath = FilePath(folder, "icon128.ico");
    icon_ = QIcon(iconPath);
    if (icon_.availableSizes().isEmpty()) {
        std::fprintf(stderr, "burnwright: cannot read the program icon %s\n",
                     iconPath.toLocal8Bit().constData());
        icon_ = QIcon(DrawnLamp(ids::kBitmapGreen));
    }
}

QPixmap Pictures::Lamp(int bitmapId) const {
    const auto it = lamps_.find(bitmapId);
    return it == lamps_.end() ? QPixmap() : it->second;
}

std::string Pictures::FindFolder(const std::string& fallback) {
    std::string beside = port::ModuleFolder();
    if (!beside.empty() && beside.back() == '/')
        beside.pop_back();
    if (!beside.empty() && QFileInfo::exists(FilePath(beside, "lamp145.bmp")))
        return beside;
    return fallback;
}

} // namespace app::qt
