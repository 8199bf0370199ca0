// Many transfers on both pipes under a seeded schedule of bus faults, ended by
// surprise removal: every request completes exactly once with a status the bus
// or the driver can give, and nothing leaks.
#include "tests/driver/linkpod/kernel/LinkPodFixture.h"

#include <set>
#include <thread>

namespace linkpodtest {
namespace {

class LinkPodSeededFaults : public LinkPodTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(LinkPodSeededFaults, SurpriseRemovalEndsEveryTransfer) {
    Options options;
    options.plan.seed = GetParam();
    options.plan.fail = 0.1;
    options.plan.stall = 0.1;
    options.plan.shortened = 0.1;
    options.plan.never = 0.1;
    options.plan.deferred = 0.3;
    StartDevice(options);
    auto in = OpenOrFail("\\PIPE00");
    auto out = OpenOrFail("\\PIPE01");

    constexpr int kPerThread = 60;
    std::vector<std::vector<uint8_t>> buffers(2 * kPerThread, std::vector<uint8_t>(96));
    std::vector<std::shared_ptr<kshim::IoRequest>> requests(2 * kPerThread);
    std::thread writer([&] {
        for (int i = 0; i < kPerThread; ++i) {
            buffers[i] = Pattern(96, static_cast<uint8_t>(i));
            requests[i] = out->Write(buffers[i].data(), 96);
        }
    });
    std::thread reader([&] {
        for (int i = kPerThread; i < 2 * kPerThread; ++i) {
            requests[i] = in->Read(buffers[i].data(), 96);
        }
    });
    writer.join();
    reader.join();
    Settle();

    ASSERT_EQ(Node().SurpriseRemove(), STATUS_SUCCESS);
    const std::set<NTSTATUS> allowed = {STATUS_SUCCESS, STATUS_UNSUCCESSFUL, STATUS_CANCELLED,
                                        STATUS_DEVICE_NOT_CONNECTED};
    for (auto& request : requests) {
        const NTSTATUS status = request->Wait();
        EXPECT_TRUE(allowed.count(status)) << std::hex << status;
        EXPECT_LE(request->Information(), 96u);
    }
    in.reset();
    out.reset();
    Settle();
}

INSTANTIATE_TEST_SUITE_P(Seeds, LinkPodSeededFaults, ::testing::Values(1u, 2u, 3u, 42u));

} // namespace
} // namespace linkpodtest
