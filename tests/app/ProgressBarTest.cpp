// The load progress window's arithmetic and the thread that drives it.
#include "app/ProgressDialogs.h"

#include "app/headless/HeadlessHost.h"

#include <gmock/gmock.h>

namespace apptest {
namespace {

using ::testing::Contains;

class LoadProgressBarTest : public ::testing::Test {
protected:
    port::ManualClock clock;
    app::headless::HeadlessHost host{clock};
    app::LoadProgressBar bar{host, clock};
};

TEST_F(LoadProgressBarTest, SmallImageJumpsTo95AtStart) {
    bar.Start(1000, app::kLoadingText, 10);
    EXPECT_EQ(bar.Increment(), 2000);
    EXPECT_EQ(bar.Position(), 95);
    EXPECT_THAT(host.ProgressEvents(), Contains("103 text 1103 95%"));
    EXPECT_TRUE(bar.TimerRunning());
}

TEST_F(LoadProgressBarTest, LargeImageStepsInFivesAndFinishesAtHundred) {
    bar.Start(400000, app::kLoadingText, 10);
    EXPECT_EQ(bar.Position(), 0);
    for (int tick = 1; tick <= 4; ++tick) {
        bar.OnTick();
        EXPECT_EQ(host.ProgressEvents().back(), "103 text 1103 0%") << tick;
    }
    bar.OnTick();
    EXPECT_EQ(host.ProgressEvents().back(), "103 text 1103 5%");

    while (bar.TimerRunning())
        bar.OnTick();
    EXPECT_EQ(bar.Accumulated(), 200000); // p reached 100 at the 100th tick
    EXPECT_THAT(host.ProgressEvents(), Contains("103 text 1103 95%"));
    EXPECT_EQ(host.ProgressEvents().back(), "103 kill 0");
    bar.Finish();
    EXPECT_THAT(host.ProgressEvents(), Contains("103 text 1103 100%"));
    EXPECT_EQ(host.ProgressEvents().back(), "103 hide");
    EXPECT_EQ(clock.SleptMs(), 500u);
}

TEST_F(LoadProgressBarTest, WindowTimerAdvancesTheBarWhenAMessageIsLetThrough) {
    bar.Start(400000, app::kLoadingText, 10);
    for (int i = 0; i < 5; ++i) {
        clock.Advance(200);
        bar.Window().PumpOneMessage();
    }
    EXPECT_EQ(bar.Position(), 5);
}

// A load's progress thread follows its own load: once that load has ended,
// the thread finishes even when the next load has set the loading flag again
// before the thread looked at it.
TEST(LoadProgressThread, EndsWithItsOwnLoadWhenTheNextLoadIsAlreadyRunning) {
    port::ManualClock clock;
    app::headless::HeadlessHost host(clock);
    const std::atomic<int> nextLoadRunning{1};
    auto ended = std::make_shared<app::LoadSignal>();
    ended->Finished();
    app::RunLoadProgress(host, clock, nextLoadRunning, ended, 400000);
    EXPECT_EQ(app::CurrentLoadProgressBar(), nullptr);
    const auto events = host.ProgressEvents();
    EXPECT_EQ(events.front(), "103 create");
    EXPECT_THAT(events, Contains("103 text 1103 100%"));
    EXPECT_EQ(events.back(), "103 destroy");
}

} // namespace
} // namespace apptest
