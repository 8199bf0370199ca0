#include "tests/driver/linkpod/kernel/LinkPodFixture.h"

#include "driver/linkpod/LinkPodInterface.h"

#include <thread>

namespace linkpodtest {

using driver::linkpod::kInterfaceClass;
using driver::linkpod::kPoolTag;

namespace {

constexpr const char* kParametersKey =
    "\\REGISTRY\\Machine\\System\\CurrentControlSet\\SERVICES\\PODLINK\\Parameters";

} // namespace

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::vector<uint8_t> Pattern(size_t length, uint8_t seed) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    }
    return bytes;
}

LinkPodTest::LinkPodTest() {
    kernel_.SetDriverTag(kPoolTag);
    kernel_.OnViolation([this](const kshim::Violation& violation) {
        if (failOnViolation_) {
            ADD_FAILURE() << "verifier: " << kshim::CheckName(violation.check) << ": "
                          << violation.detail;
        }
    });
}

void LinkPodTest::Boot(const Options& options) {
    kernel_.SetWdmVersion(options.wdmMajor, options.wdmMinor);
    if (options.idleSuspend) {
        kernel_.GetRegistry().SetDword(kParametersKey, "IdleSuspendEnable", 1);
    }
    model_ = std::make_unique<LoopbackModel>(options.shape);
    bus_ = std::make_unique<kshim::SimulatedUsbDevice>(kernel_, *model_, options.plan);
    DEVICE_CAPABILITIES& caps = bus_->Capabilities();
    caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int i = 0; i < 3; ++i) {
        caps.DeviceState[PowerSystemSleeping1 + i] = options.sleepStates[i];
    }
    caps.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    caps.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    caps.SystemWake = options.systemWake;
    caps.DeviceWake = options.deviceWake;
    host_ = std::make_unique<kshim::DriverHost>(kernel_, DriverEntry, "linkpod");
    ASSERT_EQ(host_->Load(), STATUS_SUCCESS);
    node_ = &host_->AddDevice(*bus_);
    ASSERT_EQ(node_->AddStatus(), STATUS_SUCCESS);
}

void LinkPodTest::StartDevice(const Options& options) {
    Boot(options);
    ASSERT_EQ(node_->QueryCapabilities(), STATUS_SUCCESS);
    ASSERT_EQ(node_->Start(), STATUS_SUCCESS);
    ASSERT_EQ(Ext()->State, DeviceState::Running);
}

DeviceExtension* LinkPodTest::Ext() const {
    return static_cast<DeviceExtension*>(node_->Fdo()->DeviceExtension);
}

DeviceState LinkPodTest::LockedState() const {
    return driver::linkpod::CurrentState(Ext());
}

driver::linkpod::QueueState LinkPodTest::LockedQueue() const {
    KIRQL irql;
    KeAcquireSpinLock(&Ext()->StateLock, &irql);
    const driver::linkpod::QueueState queue = Ext()->Queue;
    KeReleaseSpinLock(&Ext()->StateLock, irql);
    return queue;
}

GUID LinkPodTest::InterfaceGuid() {
    GUID guid{};
    guid.Data1 = kInterfaceClass.data1;
    guid.Data2 = kInterfaceClass.data2;
    guid.Data3 = kInterfaceClass.data3;
    for (int i = 0; i < 8; ++i) {
        guid.Data4[i] = kInterfaceClass.data4[i];
    }
    return guid;
}

std::vector<std::string> LinkPodTest::Paths() {
    return kshim::InterfacePaths(InterfaceGuid());
}

NTSTATUS LinkPodTest::Open(const std::string& name, std::unique_ptr<kshim::FileHandle>* handle) {
    const std::vector<std::string> paths = Paths();
    if (paths.empty()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return kshim::FileHandle::Open(paths.front() + name, handle);
}

std::unique_ptr<kshim::FileHandle> LinkPodTest::OpenOrFail(const std::string& name) {
    std::unique_ptr<kshim::FileHandle> handle;
    EXPECT_EQ(Open(name, &handle), STATUS_SUCCESS) << name;
    return handle;
}

void LinkPodTest::Settle() {
    ASSERT_TRUE(kernel_.Settle());
}

void LinkPodTest::RemoveDevice() {
    using PnpState = kshim::DeviceNode::PnpState;
    switch (node_->State()) {
    case PnpState::Started:
        ASSERT_EQ(node_->QueryRemove(), STATUS_SUCCESS);
        break;
    case PnpState::StopPending:
        node_->CancelStop();
        ASSERT_EQ(node_->QueryRemove(), STATUS_SUCCESS);
        break;
    default:
        break;
    }
    if (node_->State() != PnpState::Removed && node_->State() != PnpState::Failed) {
        node_->Remove();
    }
}

void LinkPodTest::TearDown() {
    // A handle closed while its last request was finishing closes on a kernel thread.
    kernel_.Settle();
    if (node_ != nullptr && !HasFatalFailure()) {
        RemoveDevice();
    }
    if (host_) {
        host_->Unload();
    }
    kernel_.Settle();
    EXPECT_EQ(kernel_.Live().Total(), 0u);
}

} // namespace linkpodtest
