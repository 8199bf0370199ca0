#include "app/ControlIds.h"
#include "app/DialogTemplate.h"
#include "app/WindowLayout.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>

namespace {

using namespace app;
namespace I = app::ids;

bool Overlap(const Rect& a, const Rect& b) {
    return a.x < b.Right() && b.x < a.Right() && a.y < b.Bottom() && b.y < a.Bottom();
}
bool Inside(const Rect& in, const Rect& out) {
    return in.x >= out.x && in.y >= out.y && in.Right() <= out.Right() &&
           in.Bottom() <= out.Bottom();
}

// The main window in pixels in one of its four layouts.
struct Layout {
    std::map<int, Rect> byId; // the controls the logic can address, and kWindowSelf
    std::vector<std::pair<const ControlTemplate*, Rect>> shown;

    Layout(bool single, bool developer) {
        const DialogTemplate& t = MainDialogTemplate();
        for (const ControlTemplate& c : t.controls)
            if (t.Find(c.id) == &c)
                byId[c.id] = ToPixels(c.dlu);
        byId[kWindowSelf] = ToPixels({0, 0, t.cx, t.cy});
        if (!developer)
            ApplyMoves(byId, CompactionMoves());
        if (single)
            ApplyMoves(byId, SingleSocketMoves());
        std::set<int> hidden;
        if (single)
            hidden.insert(MultiSocketOnlyControls().begin(), MultiSocketOnlyControls().end());
        for (const ControlTemplate& c : t.controls) {
            // Developer mode may show any control, the others only visible ones.
            if ((!developer && !c.visible) || hidden.count(c.id))
                continue;
            shown.emplace_back(&c, t.Find(c.id) == &c ? byId[c.id] : ToPixels(c.dlu));
        }
    }
    const Rect& At(int id) const { return byId.at(id); }
};

void ExpectTidy(const Layout& l) {
    const Rect& window = l.At(kWindowSelf);
    for (auto& [c, r] : l.shown) {
        SCOPED_TRACE(std::string(c->caption) + " " + std::to_string(c->id));
        EXPECT_TRUE(r.x >= 0 && r.y >= 0 && r.Right() <= window.cx && r.Bottom() <= window.cy);
        for (auto& [other, o] : l.shown) {
            if (other <= c)
                continue;
            const bool groups = c->kind == ControlKind::GroupBox;
            if (groups != (other->kind == ControlKind::GroupBox))
                EXPECT_TRUE(!Overlap(r, o) || Inside(r, o) || Inside(o, r)) << other->id;
            else
                EXPECT_FALSE(Overlap(r, o)) << other->id;
        }
    }
}

TEST(DialogTemplates, MainWindowHoldsEveryControlWithItsCaption) {
    const DialogTemplate& t = MainDialogTemplate();
    EXPECT_STREQ(t.title, "MERiL Burnwright");
    EXPECT_TRUE(t.systemMenu);
    // id=caption as the window's control list gives them; -1 is the Status group.
    std::string captions = "1012=Open|1126=Writer Buffer|1097=Load to WriterBuffer|1072=Security|"
                           "1077=Code Num|1002=OTP Program|1008=Select All|1372=Blank Check|"
                           "1373=Program|1374=Verify|1128=IHRC Trim|1129=LVD Trim|1000=Program|"
                           "1013=Blank Check|1016=Program|1018=Verify|1123=Advance Setting|"
                           "1014=Erase Flash|1001=Blank Check|1015=Program Flash|"
                           "1017=Verify Buffer|1041=Stress|1104=SetInfo|1105=GetInfo|"
                           "1116=Read Data|1117=Test|1118=GetOTPInfo|1119=SetOTPInfo|-1=Status|"
                           "1052=Select All|1127=Multi-Device|1101=Elapsed Time|1125=Sec|"
                           "1124=OK:|1121=Fail:|1055=Reset Counter|1040=|1011=|1042=|1051=|"
                           "1073=|1078=|1100=|1107=|1074=|1076=|1075=|1054=|1095=|";
    for (std::size_t at = 0, end; (end = captions.find('|', at)) != std::string::npos;
         at = end + 1) {
        const std::string entry = captions.substr(at, end - at);
        const std::size_t eq = entry.find('=');
        const ControlTemplate* c = t.Find(std::stoi(entry.substr(0, eq)));
        ASSERT_NE(c, nullptr) << entry;
        EXPECT_EQ(c->caption, entry.substr(eq + 1));
    }
    EXPECT_EQ(t.Find(I::kStatic)->kind, ControlKind::GroupBox);
    EXPECT_EQ(t.Find(I::kBodyCombo)->kind, ControlKind::ComboBox);
    for (int i = 0; i < I::kSocketCount; ++i) {
        EXPECT_EQ(t.Find(I::kSocketBoxBase + i)->caption, "#" + std::to_string(i + 1));
        EXPECT_EQ(t.Find(I::kLampBase + i)->kind, ControlKind::Bitmap);
        EXPECT_STREQ(t.Find(I::kLampBase + i)->caption, "145");
        EXPECT_TRUE(t.Find(I::kStatusTextBase + i)->readOnly);
    }
    for (int id : {I::kFileName, I::kLength, I::kCheckSum})
        EXPECT_TRUE(t.Find(id)->readOnly) << id;
    for (int id : {I::kFileTime, I::kElapsed, I::kBufferCheck, I::kOkCount, I::kFailCount})
        EXPECT_FALSE(t.Find(id)->readOnly) << id;
    const std::set<int> hidden{1072, 1073, 1077, 1078, 1129, 1013, 1016, 1018,
                               1123, 1014, 1001, 1015, 1017, 1041, 1100, 1107,
                               1074, 1076, 1104, 1105, 1116, 1117, 1118, 1119};
    for (const ControlTemplate& c : t.controls)
        EXPECT_EQ(c.visible, !hidden.count(c.id)) << c.id;
}

TEST(DialogTemplates, IdsAreUniqueAndDialogsAreFoundById) {
    for (int id :
         {I::kAboutDialog, I::kMainDialog, I::kLoadProgressDialog, I::kUpdateProgressDialog}) {
        const DialogTemplate* t = FindDialogTemplate(id);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->id, id);
        std::set<int> seen;
        for (const ControlTemplate& c : t->controls)
            EXPECT_TRUE(c.id == I::kStatic || seen.insert(c.id).second) << id << ": " << c.id;
    }
    EXPECT_EQ(FindDialogTemplate(101), nullptr);

    const DialogTemplate& about = AboutDialogTemplate();
    EXPECT_EQ(about.Find(I::kStatic)->kind, ControlKind::Icon);
    EXPECT_STREQ(about.Find(I::kStatic)->caption, "128");
    EXPECT_STREQ(about.controls[1].caption, "Burnwright Version 1.0");
    EXPECT_EQ(about.Find(I::kOk)->kind, ControlKind::DefPushButton);

    const DialogTemplate& load = LoadProgressDialogTemplate();
    EXPECT_STREQ(load.title, "Progress Bar");
    EXPECT_EQ(std::pair(load.cx, load.cy), std::pair(196, 49));
    EXPECT_STREQ(load.Find(I::kStatic)->caption, "Loading...");
    EXPECT_EQ(load.Find(I::kStatic)->dlu, (Rect{7, 7, 77, 8}));
    EXPECT_EQ(load.Find(I::kLoadProgressBar)->dlu, (Rect{7, 28, 182, 14}));
    EXPECT_EQ(load.Find(I::kLoadPercent)->dlu, (Rect{89, 7, 68, 8}));
    EXPECT_STREQ(load.Find(I::kLoadPercent)->caption, "%");
    const DialogTemplate& update = UpdateProgressDialogTemplate();
    EXPECT_STREQ(update.title, "");
    EXPECT_FALSE(update.systemMenu || load.systemMenu);
    EXPECT_EQ(std::pair(update.cx, update.cy), std::pair(186, 44));
    EXPECT_EQ(update.Find(I::kUpdateProgressBar)->dlu, (Rect{7, 19, 172, 14}));
    EXPECT_EQ(update.Find(I::kUpdateStatus)->dlu, (Rect{7, 4, 92, 8}));
    EXPECT_STREQ(update.Find(I::kUpdateStatus)->caption, "Updating...");
}

TEST(DialogTemplates, ToPixelsRoundsEdgesHalfAwayFromZero) {
    EXPECT_EQ(ToPixels({1, 1, 1, 1}), (Rect{2, 2, 1, 1}));
    EXPECT_EQ(ToPixels({-1, -3, 2, 4}), (Rect{-2, -5, 4, 7}));
    EXPECT_EQ(ToPixels({4, 8, 4, 8}, {8, 16}), (Rect{8, 16, 8, 16}));
}

TEST(WindowLayout, EveryLayoutKeepsControlsApartInsideTheirGroupsAndTheWindow) {
    for (bool single : {false, true})
        for (bool developer : {false, true}) {
            SCOPED_TRACE(std::string(single ? "single" : "multi") +
                         (developer ? " developer" : " compacted"));
            ExpectTidy(Layout(single, developer));
        }
}

TEST(WindowLayout, MovesCloseExactlyTheGapsTheyAreMeantFor) {
    const Layout multi(false, true), single(true, true), compact(false, false);
    // One socket row left: what sat below row 8 now sits as far below row 1.
    for (int id : {I::kResetCounter, I::kOkCount, I::kLampTest})
        EXPECT_NEAR(single.At(id).y - single.At(I::kStatusTextBase).Bottom(),
                    multi.At(id).y - multi.At(I::kStatusTextBase + 7).Bottom(), 2);
    EXPECT_NEAR(single.At(I::kStatic).Bottom() - single.At(I::kStatusTextBase).Bottom(),
                multi.At(I::kStatic).Bottom() - multi.At(I::kStatusTextBase + 7).Bottom(), 2);
    EXPECT_NEAR(single.At(I::kStatusTextBase).Right(), multi.At(I::kStatusTextBase + 8).Right(), 2);
    // Compaction: Status follows OTP Program as it followed Advance Setting,
    // and Writer Buffer ends below its first row as it ended below the second.
    EXPECT_NEAR(compact.At(I::kStatic).y - compact.At(I::kOtpProgramGroup).Bottom(),
                multi.At(I::kStatic).y - multi.At(I::kAdvanceSettingGroup).Bottom(), 2);
    EXPECT_NEAR(compact.At(I::kWriterBufferGroup).Bottom() - compact.At(I::kLength).Bottom(),
                multi.At(I::kWriterBufferGroup).Bottom() - multi.At(I::kCodeNumber).Bottom(), 2);
    // Every control travels with its group, and those below the Status
    // group with its bottom edge.
    const Rect& status = multi.At(I::kStatic);
    for (const Layout* l : {&single, &compact}) {
        for (auto& [c, r] : l->shown) {
            if (c->kind == ControlKind::GroupBox || c->id == I::kStatic)
                continue;
            const Rect& was = multi.At(c->id);
            for (auto& [g, gr] : multi.shown) {
                if (g->kind == ControlKind::GroupBox && Inside(was, gr)) {
                    EXPECT_EQ(r.y - l->At(g->id).y, was.y - gr.y) << c->id;
                }
            }
            if (was.y >= status.Bottom()) {
                EXPECT_EQ(r.y - l->At(I::kStatic).Bottom(), was.y - status.Bottom()) << c->id;
            }
        }
    }
    // Undoing restores the template.
    std::map<int, Rect> back = compact.byId;
    ApplyMoves(back, CompactionMoves(), true);
    EXPECT_EQ(back, multi.byId);
}

std::string ReadResource(const std::string& name) {
    std::ifstream in(std::string(BURNWRIGHT_RESOURCE_DIR) + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
std::uint32_t Le(const std::string& d, std::size_t at, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = v << 8 | static_cast<std::uint8_t>(d.at(at + i));
    return v;
}

TEST(Resources, LampsAreKeyedPicturesOfTheirColourAndTheIconHas32Pixels) {
    // Each lamp and the channel that dominates its centre (-1: grey).
    for (auto [id, channel] :
         std::array<std::pair<int, int>, 4>{{{143, 0}, {144, 2}, {145, 1}, {146, -1}}}) {
        SCOPED_TRACE(id);
        const std::string d = ReadResource("lamp" + std::to_string(id) + ".bmp");
        ASSERT_GT(d.size(), 54u);
        ASSERT_EQ(d.substr(0, 2), "BM");
        ASSERT_EQ((std::array<std::uint32_t, 5>{Le(d, 14, 4), Le(d, 18, 4), Le(d, 22, 4),
                                                Le(d, 28, 2), Le(d, 30, 4)}),
                  (std::array<std::uint32_t, 5>{40, 17, 17, 24, 0})); // bottom-up, plain
        auto pixel = [&](int x, int yFromTop) {
            const std::size_t at = Le(d, 10, 4) + (16 - yFromTop) * 52 + x * 3;
            return std::array<int, 3>{int(Le(d, at + 2, 1)), int(Le(d, at + 1, 1)),
                                      int(Le(d, at, 1))};
        };
        EXPECT_EQ(pixel(0, 0), (std::array<int, 3>{0, 128, 128}));
        EXPECT_EQ(pixel(16, 16), (std::array<int, 3>{0, 128, 128}));
        const auto c = pixel(8, 9);
        for (int other = 0; other < 3; ++other)
            EXPECT_TRUE(channel < 0 ? c[other] == c[0]
                                    : other == channel || c[channel] > c[other] + 60)
                << other;
    }
    const std::string ico = ReadResource("icon128.ico");
    ASSERT_GT(ico.size(), 6u);
    EXPECT_EQ(Le(ico, 0, 4), 0x10000u);
    bool found = false;
    for (std::uint32_t i = 0; i < Le(ico, 4, 2); ++i) {
        const std::size_t entry = 6 + 16 * i;
        const std::uint32_t size = Le(ico, entry + 8, 4), at = Le(ico, entry + 12, 4);
        ASSERT_LE(std::size_t(at) + size, ico.size());
        if (Le(ico, entry, 1) == 32 && Le(ico, entry + 1, 1) == 32)
            found = Le(ico, at, 4) == 40 && Le(ico, at + 4, 4) == 32 && Le(ico, at + 8, 4) == 64;
    }
    EXPECT_TRUE(found);
}

} // namespace
