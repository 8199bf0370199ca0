// Shared setup: a kernel, the test USB device on the simulated bus and the test
// driver ready to load. Every verifier finding fails the test unless the test
// declared that check as expected.
#pragma once

#include "driver/kshim/DriverHost.h"
#include "driver/kshim/Files.h"
#include "driver/kshim/Registry.h"
#include "tests/driver/kshim/TestDriver.h"
#include "tests/driver/kshim/TestUsbModel.h"

#include <gtest/gtest.h>

#include <set>

namespace kshimtest {

class KernelFixture : public ::testing::Test {
protected:
    explicit KernelFixture(bool remoteWake = false, bool nakWhenEmpty = false)
        : model(remoteWake, nakWhenEmpty) {}

    void SetUp() override {
        SetFlaw(Flaw::None);
        kernel.SetDriverTag(kTestTag);
        bus = std::make_unique<kshim::SimulatedUsbDevice>(kernel, model);
        host = std::make_unique<kshim::DriverHost>(kernel, TestDriverEntry, "KSHIMTEST");
    }

    void TearDown() override {
        EXPECT_TRUE(kernel.Settle()) << "kernel threads still busy: a wait that never ends";
        host.reset();
        bus.reset();
        for (const kshim::Violation& v : kernel.Violations())
            if (!expected.count(v.check))
                ADD_FAILURE() << "verifier: " << v.detail;
        SetFlaw(Flaw::None);
    }

    kshim::DeviceNode& StartDevice() {
        EXPECT_EQ(host->Load(), STATUS_SUCCESS);
        kshim::DeviceNode& node = host->AddDevice(*bus);
        EXPECT_EQ(node.AddStatus(), STATUS_SUCCESS);
        EXPECT_EQ(node.Start(), STATUS_SUCCESS);
        return node;
    }

    std::string Path(const std::string& name) {
        std::vector<std::string> paths = kshim::InterfacePaths(kTestInterface);
        return paths.empty() ? std::string() : paths.front() + name;
    }

    std::unique_ptr<kshim::FileHandle> Open(const std::string& name) {
        std::unique_ptr<kshim::FileHandle> handle;
        EXPECT_EQ(kshim::FileHandle::Open(Path(name), &handle), STATUS_SUCCESS) << name;
        return handle;
    }

    void Expect(kshim::Check check) { expected.insert(check); }

    kshim::Kernel kernel;
    TestUsbModel model;
    std::unique_ptr<kshim::SimulatedUsbDevice> bus;
    std::unique_ptr<kshim::DriverHost> host;
    std::set<kshim::Check> expected;
};

} // namespace kshimtest
