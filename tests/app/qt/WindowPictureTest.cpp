// What the operator sees, checked on the rendered window: the single-socket
// layout shows one socket row; after a pass with one empty socket and one chip
// that fails verify, each lamp has its colour and the failed socket's text is
// red. The pictures stay in the build tree (tests/app/qt/pictures).
#include "tests/app/qt/QtWindowFixture.h"

#include "app/ControlIds.h"

#include <QMessageBox>

#include <gmock/gmock.h>

namespace qttest {
namespace {

namespace ids = app::ids;

enum class Shade { Green, Red, Grey, Other };

Shade ShadeOf(QRgb pixel) {
    const int r = qRed(pixel), g = qGreen(pixel), b = qBlue(pixel);
    if (g > r + 60 && g > b + 60)
        return Shade::Green;
    if (r > g + 100 && r > b + 100)
        return Shade::Red;
    if (std::abs(r - g) < 12 && std::abs(g - b) < 12 && r > 90 && r < 200)
        return Shade::Grey;
    return Shade::Other;
}

// The centre of the lamp picture, drawn in the 16 x 16 pixels at the top left.
QPoint LampCentre(QWidget* lamp) {
    return lamp->geometry().topLeft() + QPoint(7, 7);
}

bool HasRedText(const QImage& image, const QRect& area) {
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) {
            const QRgb p = image.pixel(x, y);
            if (qRed(p) > 200 && qGreen(p) < 110 && qBlue(p) < 110)
                return true;
        }
    return false;
}

using WindowPictureTest = QtWindowTest;

TEST_F(WindowPictureTest, LampsAndRedTextAfterAPassWithAnEmptyAndAFailingSocket) {
    writer->RemoveChip(4);
    writer->FailSocket(9, sim::Operation::Verify);
    StartWindow();

    // Single-socket layout: only socket 1's row is drawn.
    const QImage single = Render("single-socket");
    EXPECT_EQ(single.height(), host->Surface()->height());
    for (int i = 1; i < 16; ++i) {
        EXPECT_TRUE(host->Control(ids::kLampBase + i)->isHidden()) << i;
        EXPECT_TRUE(host->Control(ids::kStatusTextBase + i)->isHidden()) << i;
    }
    EXPECT_EQ(ShadeOf(single.pixel(LampCentre(host->Control(ids::kLampBase)))), Shade::Grey);
    Click(ids::kMultiDevice);
    const QImage before = Render("sixteen-sockets");
    for (int i = 1; i < 16; ++i) {
        // Where sockets 2 to 16 are drawn now, the single layout had no lamp.
        const QPoint centre = LampCentre(host->Control(ids::kLampBase + i));
        if (single.rect().contains(centre)) {
            EXPECT_EQ(ShadeOf(single.pixel(centre)), Shade::Other) << i;
        }
        EXPECT_EQ(ShadeOf(before.pixel(centre)), Shade::Grey) << i;
    }

    const std::string image = WriteImage();
    host->SetFileAnswer([&](const std::string&, const std::string&) { return image; });
    Click(ids::kOpen);
    AnswerNextBox(QMessageBox::Ok);
    Click(ids::kLoadToWriterBuffer);
    WaitIdle();
    Click(ids::kProgram);
    WaitIdle();

    const QImage after = Render("after-pass");
    for (int i = 0; i < 16; ++i) {
        const Shade expected = i == 4 ? Shade::Grey : i == 9 ? Shade::Red : Shade::Green;
        EXPECT_EQ(ShadeOf(after.pixel(LampCentre(host->Control(ids::kLampBase + i)))), expected)
            << "socket " << i + 1;
    }
    EXPECT_TRUE(HasRedText(after, host->Control(ids::kStatusTextBase + 9)->geometry()));
    EXPECT_FALSE(HasRedText(after, host->Control(ids::kStatusTextBase + 8)->geometry()));
    EXPECT_FALSE(HasRedText(after, host->Control(ids::kStatusTextBase + 4)->geometry()));
    EXPECT_EQ(dlg->State().okCount.load(), 14);
    EXPECT_EQ(dlg->State().failCount.load(), 1);
}

} // namespace
} // namespace qttest
