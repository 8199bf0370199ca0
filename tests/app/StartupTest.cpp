#include "app/BurnwrightApp.h"

#include <gtest/gtest.h>

namespace {

class FakeWindow : public app::I_MainWindow {
public:
    explicit FakeWindow(app::CBurnwrightApp*& owner, bool& destroyed)
        : owner_(owner), destroyed_(destroyed) {}
    ~FakeWindow() override { destroyed_ = true; }
    int DoModal() override {
        seenAsMain = owner_->MainWindow() == this;
        return 2;
    }
    static inline bool seenAsMain = false;

private:
    app::CBurnwrightApp*& owner_;
    bool& destroyed_;
};

TEST(BurnwrightApp, RunsTheMainWindowModallyThenEnds) {
    app::CBurnwrightApp* self = nullptr;
    bool destroyed = false;
    app::CBurnwrightApp application([&] { return std::make_unique<FakeWindow>(self, destroyed); });
    self = &application;
    EXPECT_FALSE(application.InitInstance());
    EXPECT_TRUE(FakeWindow::seenAsMain);
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(application.ModalResult(), 2);
    EXPECT_EQ(application.MainWindow(), nullptr);
}

} // namespace
