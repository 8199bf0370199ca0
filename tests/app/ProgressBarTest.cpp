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

TEST(LoadProgressThread, PublishesItsWindowWhileTheLoadRunsAndFinishes) {
    port::ManualClock clock;
    app::headless::HeadlessHost host(clock);
    std::atomic<int> loading{1};
    app::LoadSignal signal;
    std::atomic<bool> seen{false};
    host.StartThread([&] { app::RunLoadProgress(host, clock, loading, signal, 400000); });
    while (!app::CurrentLoadProgressBar()) {
    }
    seen = true;
    loading = 0;
    signal.Finished();
    host.WaitIdle();
    EXPECT_TRUE(seen);
    EXPECT_EQ(app::CurrentLoadProgressBar(), nullptr);
    EXPECT_THAT(host.ProgressEvents(), Contains("103 text 1103 100%"));
    EXPECT_EQ(host.ProgressEvents().back(), "103 destroy");
}

} // namespace
} // namespace apptest
