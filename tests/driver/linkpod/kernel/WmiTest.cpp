// The WMI data block: debug level and model name, and the statuses of bad requests.
#include "tests/driver/linkpod/kernel/LinkPodFixture.h"

#include <cstring>

namespace linkpodtest {
namespace {

const GUID kBlockGuid = {
    0xBBA21300, 0x6DD3, 0x11D2, {0xB8, 0x44, 0x00, 0xC0, 0x4F, 0xAD, 0x51, 0x71}};
const GUID kOtherGuid = {
    0xBBA21301, 0x6DD3, 0x11D2, {0xB8, 0x44, 0x00, 0xC0, 0x4F, 0xAD, 0x51, 0x71}};

std::vector<uint8_t> Level(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

uint32_t LevelIn(const std::vector<uint8_t>& block) {
    uint32_t value = 0;
    std::memcpy(&value, block.data(), 4);
    return value;
}

class LinkPodWmi : public LinkPodTest {
protected:
    void SetUp() override { StartDevice(); }
    void TearDown() override {
        // The level is driver-wide: leave it as the driver starts.
        if (node_ != nullptr && node_->State() == kshim::DeviceNode::PnpState::Started) {
            Node().WmiSetBlock(kBlockGuid, Level(5));
        }
        LinkPodTest::TearDown();
    }
};

TEST_F(LinkPodWmi, BlockHoldsTheLevelAndTheModelName) {
    const auto reply = Node().WmiQuery(kBlockGuid);
    ASSERT_EQ(reply.status, STATUS_SUCCESS);
    const std::u16string name = u"Brindlemo";
    ASSERT_EQ(reply.data.size(), 6 + name.size() * 2);
    EXPECT_EQ(LevelIn(reply.data), 5u);
    EXPECT_EQ(reply.data[4] | (reply.data[5] << 8), 18);
    EXPECT_EQ(std::memcmp(reply.data.data() + 6, name.data(), 18), 0);
}

TEST_F(LinkPodWmi, RegistrationNamesThePdoAndRegistryPathButNoMofResource) {
    const auto reg = Node().WmiRegInfo();
    ASSERT_EQ(reg.status, STATUS_SUCCESS);
    EXPECT_EQ(reg.mofResource, "") << "the image holds no MOF resource";
    EXPECT_NE(reg.registryPath.find("linkpod"), std::string::npos) << reg.registryPath;
    ASSERT_EQ(reg.guids.size(), 1u);
    EXPECT_EQ(std::memcmp(&reg.guids[0].Guid, &kBlockGuid, sizeof(GUID)), 0);
}

TEST_F(LinkPodWmi, TooSmallABufferAsksForTheWholeBlock) {
    const auto reply = Node().WmiQuery(kBlockGuid, 23);
    EXPECT_EQ(reply.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(reply.sizeNeeded, 24u);
    EXPECT_EQ(Node().WmiQuery(kBlockGuid, 24).status, STATUS_SUCCESS);
}

TEST_F(LinkPodWmi, SetBlockNeedsExactlyFourBytes) {
    EXPECT_EQ(Node().WmiSetBlock(kBlockGuid, Level(9)), STATUS_SUCCESS);
    EXPECT_EQ(LevelIn(Node().WmiQuery(kBlockGuid).data), 9u);
    EXPECT_EQ(Node().WmiSetBlock(kBlockGuid, {1, 2, 3}), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(Node().WmiSetBlock(kBlockGuid, {1, 2, 3, 4, 5}), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(LevelIn(Node().WmiQuery(kBlockGuid).data), 9u);
}

TEST_F(LinkPodWmi, OnlyItemOneIsWritable) {
    EXPECT_EQ(Node().WmiSetItem(kBlockGuid, 1, Level(77)), STATUS_SUCCESS);
    EXPECT_EQ(LevelIn(Node().WmiQuery(kBlockGuid).data), 77u);
    EXPECT_EQ(Node().WmiSetItem(kBlockGuid, 1, {1, 2}), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(Node().WmiSetItem(kBlockGuid, 2, Level(1)), STATUS_WMI_READ_ONLY);
    EXPECT_EQ(Node().WmiSetItem(kBlockGuid, 0, Level(1)), STATUS_WMI_READ_ONLY);
    EXPECT_EQ(LevelIn(Node().WmiQuery(kBlockGuid).data), 77u);
}

TEST_F(LinkPodWmi, UnknownBlocksAndOtherProvidersAreNotServed) {
    EXPECT_EQ(Node().WmiQuery(kOtherGuid).status, STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(Node().WmiSetBlock(kOtherGuid, Level(1)), STATUS_WMI_GUID_NOT_FOUND);
    // A request for another provider goes down the stack unanswered by the driver.
    const auto passed = Node().WmiQuery(kBlockGuid, 256, 0, 0x1234);
    EXPECT_NE(passed.data, Node().WmiQuery(kBlockGuid).data);
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

} // namespace
} // namespace linkpodtest
