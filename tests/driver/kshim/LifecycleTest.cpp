// The Plug and Play and power managers with the test driver: legal orders,
// interface arrival and removal, unload and what it finds left alive.
#include "tests/driver/kshim/KernelFixture.h"

#include <stdexcept>

namespace kshimtest {
namespace {

using kshim::DeviceNode;

class KshimLifecycle : public KernelFixture {};

TEST_F(KshimLifecycle, StartEnablesTheInterfaceAndRemovalUnloadsCleanly) {
    DeviceNode& node = StartDevice();
    EXPECT_EQ(node.State(), DeviceNode::PnpState::Started);
    EXPECT_TRUE(bus->Configured());
    std::vector<std::string> paths = kshim::InterfacePaths(kTestInterface);
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(paths[0], bus->InterfaceBase() + "#{11223344-5566-7788-99aa-bbccddeeff00}");
    EXPECT_TRUE(node.WmiRegistered());
    EXPECT_EQ(node.QueryRemove(), STATUS_SUCCESS);
    EXPECT_EQ(node.Remove(), STATUS_SUCCESS);
    EXPECT_EQ(node.State(), DeviceNode::PnpState::Removed);
    EXPECT_TRUE(kshim::InterfacePaths(kTestInterface).empty());
    EXPECT_FALSE(host->Loaded()) << "the last removal unloads the driver";
    EXPECT_EQ(kernel.Live().Total(), 0u);
}

TEST_F(KshimLifecycle, InterfaceNotificationsArriveAndLeaveInOrder) {
    std::mutex mu;
    std::vector<std::string> seen;
    kshim::InterfaceWatch watch([&](bool arrival, const std::string& path, const GUID& guid) {
        std::lock_guard<std::mutex> guard(mu);
        EXPECT_TRUE(guid == kTestInterface);
        seen.push_back((arrival ? "+" : "-") + path);
    });
    DeviceNode& node = StartDevice();
    std::string path = kshim::InterfacePaths(kTestInterface).at(0);
    EXPECT_EQ(node.SurpriseRemove(), STATUS_SUCCESS);
    EXPECT_FALSE(bus->Plugged());
    EXPECT_EQ(node.Remove(), STATUS_SUCCESS);
    kernel.Settle();
    std::lock_guard<std::mutex> guard(mu);
    EXPECT_EQ(seen, (std::vector<std::string>{"+" + path, "-" + path}));
}

TEST_F(KshimLifecycle, RequestsOutOfOrderAreRefused) {
    DeviceNode& node = StartDevice();
    EXPECT_THROW(node.Stop(), std::logic_error) << "stop comes only after query stop";
    EXPECT_THROW(node.Start(), std::logic_error);
    EXPECT_THROW(node.Remove(), std::logic_error) << "removal comes after query remove";
    auto handle = Open("");
    EXPECT_EQ(node.QueryRemove(), STATUS_SUCCESS);
    EXPECT_THROW(node.Remove(), std::logic_error) << "a handle is still open";
    handle->Close();
    EXPECT_EQ(node.Remove(), STATUS_SUCCESS);
}

TEST_F(KshimLifecycle, StopAndRestartKeepTheDeviceUsable) {
    DeviceNode& node = StartDevice();
    EXPECT_EQ(node.QueryStop(), STATUS_SUCCESS);
    EXPECT_EQ(node.CancelStop(), STATUS_SUCCESS);
    EXPECT_EQ(node.State(), DeviceNode::PnpState::Started);
    EXPECT_EQ(node.QueryStop(), STATUS_SUCCESS);
    EXPECT_EQ(node.Stop(), STATUS_SUCCESS);
    EXPECT_EQ(node.State(), DeviceNode::PnpState::Stopped);
    EXPECT_EQ(node.Start(), STATUS_SUCCESS);
    EXPECT_EQ(bus->Stats().selects, 2u);
    EXPECT_EQ(node.QueryRemove(), STATUS_SUCCESS);
    EXPECT_EQ(node.CancelRemove(), STATUS_SUCCESS);
    EXPECT_EQ(node.State(), DeviceNode::PnpState::Started);
}

TEST_F(KshimLifecycle, FailedAddDeviceLeavesNothingAndUnloads) {
    bus->RefuseAttach(true);
    ASSERT_EQ(host->Load(), STATUS_SUCCESS);
    DeviceNode& node = host->AddDevice(*bus);
    EXPECT_EQ(node.AddStatus(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(node.State(), DeviceNode::PnpState::Failed);
    EXPECT_FALSE(host->Loaded());
    EXPECT_EQ(kernel.Live().Total(), 0u);
}

TEST_F(KshimLifecycle, CapabilitiesComeFromTheBus) {
    bus->Capabilities().DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
    DeviceNode& node = StartDevice();
    DEVICE_CAPABILITIES caps{};
    EXPECT_EQ(node.QueryCapabilities(&caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.Size, 64);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
    EXPECT_EQ(caps.SystemWake, PowerSystemSleeping3);
    EXPECT_TRUE(caps.SurpriseRemovalOK) << "the driver's setting survives the bus";
}

TEST_F(KshimLifecycle, SystemSleepAndResumeReachTheBus) {
    DeviceNode& node = StartDevice();
    EXPECT_EQ(node.SetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(bus->SystemState(), PowerSystemSleeping3);
    EXPECT_EQ(node.SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(bus->SystemState(), PowerSystemWorking);
    EXPECT_EQ(node.SystemState(), PowerSystemWorking);
}

TEST_F(KshimLifecycle, WmiBlockIsQueriedAndSetThroughTheLibrary) {
    DeviceNode& node = StartDevice();
    DeviceNode::WmiReply reply = node.WmiQuery(kTestWmiBlock);
    ASSERT_EQ(reply.status, STATUS_SUCCESS);
    ASSERT_EQ(reply.data.size(), 4u);
    EXPECT_EQ(reply.data[0], 7);
    EXPECT_EQ(node.WmiSetBlock(kTestWmiBlock, {9, 0, 0, 0}), STATUS_SUCCESS);
    EXPECT_EQ(node.WmiQuery(kTestWmiBlock).data.at(0), 9);
    EXPECT_EQ(node.WmiSetBlock(kTestWmiBlock, {1, 2}), STATUS_INFO_LENGTH_MISMATCH);
    reply = node.WmiQuery(kTestWmiBlock, 2);
    EXPECT_EQ(reply.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(reply.sizeNeeded, 4u);
    EXPECT_EQ(node.WmiQuery(kTestInterface).status, STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(node.WmiSetItem(kTestWmiBlock, 1, {1, 0, 0, 0}), STATUS_WMI_READ_ONLY);
    reply = node.WmiQuery(kTestWmiBlock, 256, 0, 0x1234);
    EXPECT_EQ(reply.status, STATUS_NOT_SUPPORTED) << "another provider's request passes down";
    kshim::DeviceNode::WmiRegistration reg = node.WmiRegInfo();
    ASSERT_EQ(reg.status, STATUS_SUCCESS);
    EXPECT_EQ(reg.registryPath,
              "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KSHIMTEST");
    EXPECT_EQ(reg.mofResource, "TestMof");
    ASSERT_EQ(reg.guids.size(), 1u);
    EXPECT_TRUE(reg.guids[0].Guid == kTestWmiBlock);
    EXPECT_EQ(reg.guids[0].Pdo, reinterpret_cast<ULONG_PTR>(bus->Pdo()));
}

TEST_F(KshimLifecycle, DriverEntryFailureUnderAllocationFailureLeavesNothing) {
    kernel.FailAllocationAt(2);
    EXPECT_EQ(host->Load(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(kernel.Live().Total(), 0u);
}

} // namespace
} // namespace kshimtest

namespace kshimtest {
namespace {

class KshimRegistryKeys : public KernelFixture {};

TEST_F(KshimRegistryKeys, DeviceKeyValuesAreReadThroughAHandle) {
    kernel.GetRegistry().SetDword(bus->InstanceKey() + "\\Device Parameters", "Speed", 12);
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(bus->Pdo(), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
              STATUS_SUCCESS);
    char16_t name[] = u"Speed";
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    uint8_t small[8];
    ULONG needed = 0;
    EXPECT_EQ(
        ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, small, sizeof small, &needed),
        STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) + 4);
    alignas(8) uint8_t room[32];
    ASSERT_EQ(
        ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, room, sizeof room, &needed),
        STATUS_SUCCESS);
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(room);
    EXPECT_EQ(info->Type, ULONG{REG_DWORD});
    EXPECT_EQ(info->Data[0], 12);
    char16_t missing[] = u"Missing";
    RtlInitUnicodeString(&valueName, missing);
    EXPECT_EQ(
        ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, room, sizeof room, &needed),
        STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(kernel.Live().keys, 1u);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(kernel.Live().keys, 0u);
}

TEST_F(KshimRegistryKeys, SecondDeviceGetsItsOwnInterfacePath) {
    TestUsbModel otherModel;
    kshim::SimulatedUsbDevice other(kernel, otherModel);
    StartDevice();
    kshim::DeviceNode& second = host->AddDevice(other);
    ASSERT_EQ(second.Start(), STATUS_SUCCESS);
    std::vector<std::string> paths = kshim::InterfacePaths(kTestInterface);
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_NE(paths[0], paths[1]);
    EXPECT_NE(bus->InstanceKey(), other.InstanceKey());
    EXPECT_EQ(second.SurpriseRemove(), STATUS_SUCCESS);
    EXPECT_EQ(second.Remove(), STATUS_SUCCESS);
    EXPECT_EQ(kshim::InterfacePaths(kTestInterface).size(), 1u);
    EXPECT_TRUE(host->Loaded()) << "one device is still there";
}

} // namespace
} // namespace kshimtest
