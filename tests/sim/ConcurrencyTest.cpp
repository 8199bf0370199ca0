// Several threads on one bus: transfers on different writers while another
// thread plugs and unplugs; every transfer ends, none hangs or mixes replies.
#include "SimHost.h"

#include <atomic>
#include <thread>

namespace simtest {
namespace {

class SimConcurrency : public SimHostTest {};

TEST_F(SimConcurrency, TransfersOnTwoWritersSurviveUnplugsOfOne) {
    sim::WriterConfig six;
    six.member = 5;
    six.deviceType = 6;
    auto second = bus_->AddWriterWithChips(six);
    std::atomic<bool> stop{false};
    std::atomic<int> wrongReplies{0};
    auto worker = [&](const std::shared_ptr<sim::Writer>& w, uint8_t expected) {
        const Bytes query = Packet({0x1B});
        for (int i = 0; i < 2000; ++i) {
            auto out = io_->Open(w->InterfacePath() + "\\PIPE01");
            auto in = io_->Open(w->InterfacePath() + "\\PIPE00");
            if (!out || !in)
                continue;
            size_t done = 0;
            if (out->Write(query.data(), query.size(), 0, done) != Outcome::Done)
                continue;
            uint8_t type = 0;
            if (in->Read(&type, 1, 0, done) == Outcome::Done && type != expected)
                ++wrongReplies;
        }
    };
    std::thread plugger([&] {
        while (!stop) {
            bus_->Unplug(5);
            bus_->Plug(5);
        }
    });
    std::thread a(worker, writer_, uint8_t(7));
    std::thread b(worker, second, uint8_t(6));
    a.join();
    b.join();
    stop = true;
    plugger.join();
    EXPECT_EQ(wrongReplies, 0);
    EXPECT_EQ(writer_->TransferCount(), 4000u) << "the writer that stayed saw every transfer";
}

} // namespace
} // namespace simtest
