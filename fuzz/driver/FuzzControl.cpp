// Control requests on LINKPOD's device, through the user-mode kernel with a
// simulated writer below it: any code, any input block, any output room. The
// kernel's verifier must find nothing, the request must complete, and what it
// reports as returned must fit the caller's buffer.
//
// Input: byte 0 picks the code (0-4 the driver's five, 5 one of the five with
// a wrong transfer type, 6 a code taken from bytes 3-6), bytes 1-2 the output
// room (LE16), the rest the input block.
#include "driver/kshim/DriverHost.h"
#include "driver/kshim/Files.h"
#include "driver/linkpod/Device.h"
#include "driver/linkpod/LinkPodInterface.h"
#include "driver/simstack/WriterModel.h"
#include "port/Clock.h"
#include "sim/Bus.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

using namespace driver::linkpod;

constexpr uint32_t kCodes[] = {kIoctlGetConfigDescriptor, kIoctlResetDevice, kIoctlResetPipe,
                               kIoctlVendorOut, kIoctlVendorIn};

GUID InterfaceGuid() {
    GUID guid{};
    guid.Data1 = kInterfaceClass.data1;
    guid.Data2 = kInterfaceClass.data2;
    guid.Data3 = kInterfaceClass.data3;
    for (int i = 0; i < 8; ++i)
        guid.Data4[i] = kInterfaceClass.data4[i];
    return guid;
}

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "control fuzz: %s\n", what);
    std::abort();
}

// One kernel for the whole run (a process holds one at a time); it stays alive
// until exit, so every input meets a driver that has seen the ones before.
struct Rig {
    port::ManualClock clock;
    std::shared_ptr<sim::Bus> bus = std::make_shared<sim::Bus>(clock);
    kshim::Kernel kernel;
    std::unique_ptr<driver::simstack::WriterModel> model;
    std::unique_ptr<kshim::SimulatedUsbDevice> usb;
    std::unique_ptr<kshim::DriverHost> host;
    std::unique_ptr<kshim::FileHandle> device;

    Rig() {
        kernel.SetDriverTag(kPoolTag);
        kernel.SetWdmVersion(6, 0x30);
        kernel.OnViolation([](const kshim::Violation& violation) {
            std::fprintf(stderr, "kernel verifier: %s: %s\n", kshim::CheckName(violation.check),
                         violation.detail.c_str());
            std::abort();
        });
        model = std::make_unique<driver::simstack::WriterModel>(bus->AddWriterWithChips());
        usb = std::make_unique<kshim::SimulatedUsbDevice>(kernel, *model);
        DEVICE_CAPABILITIES& caps = usb->Capabilities();
        caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (int i = 0; i < 5; ++i)
            caps.DeviceState[PowerSystemSleeping1 + i] = PowerDeviceD3;
        host = std::make_unique<kshim::DriverHost>(kernel, DriverEntry, "linkpod");
        if (host->Load() != STATUS_SUCCESS)
            Fail("driver did not load");
        kshim::DeviceNode& node = host->AddDevice(*usb);
        if (node.AddStatus() != STATUS_SUCCESS || node.QueryCapabilities() != STATUS_SUCCESS ||
            node.Start() != STATUS_SUCCESS)
            Fail("device did not start");
        const std::vector<std::string> paths = kshim::InterfacePaths(InterfaceGuid());
        if (paths.empty() || kshim::FileHandle::Open(paths.front(), &device) != STATUS_SUCCESS)
            Fail("device did not open");
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Rig* rig = new Rig();
    if (size < 3)
        return 0;
    uint32_t code = kCodes[data[0] % 5];
    if (data[0] % 8 == 5)
        code ^= 3; // same function, another transfer type
    else if (data[0] % 8 == 6 && size >= 7)
        code = uint32_t(data[3]) | uint32_t(data[4]) << 8 | uint32_t(data[5]) << 16 |
               uint32_t(data[6]) << 24;
    const size_t room = size_t(data[1] | data[2] << 8) % 8192;
    std::vector<uint8_t> input(data + 3, data + size);
    std::vector<uint8_t> output(room, 0xCC);
    auto request = rig->device->Control(
        code, input.empty() ? nullptr : input.data(), static_cast<ULONG>(input.size()),
        output.empty() ? nullptr : output.data(), static_cast<ULONG>(output.size()));
    request->Wait();
    if (NT_SUCCESS(request->Status()) && request->Information() > room)
        Fail("more returned than the output room");
    if (!rig->kernel.Settle())
        Fail("kernel did not settle");
    return 0;
}
