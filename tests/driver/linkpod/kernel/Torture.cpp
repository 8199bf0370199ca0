#include "tests/driver/linkpod/kernel/Torture.h"

#include "driver/linkpod/LinkPodInterface.h"

#include <random>
#include <string>

namespace linkpodtest {
namespace {

void Pause(int64_t ms) {
    LARGE_INTEGER delay;
    delay.QuadPart = -ms * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

} // namespace

void Torture::Io(int id, Signal& stop, Signal& closed) {
    std::mt19937 random(seed_ * 31 + id);
    static const char* const kNames[] = {"\\PIPE00", "\\PIPE01", ""};
    std::vector<uint8_t> buffer(300);
    for (int round = 0; round < 40 && !stop.IsSet(); ++round) {
        std::unique_ptr<kshim::FileHandle> handle;
        const char* name = kNames[random() % 3];
        if (Paths().empty() ||
            kshim::FileHandle::Open(Paths().front() + name, &handle) != STATUS_SUCCESS) {
            Pause(1000 + random() % 4000);
            continue;
        }
        const int requests = 1 + static_cast<int>(random() % 8);
        for (int r = 0; r < requests; ++r) {
            const ULONG length = 1 + random() % 200;
            std::shared_ptr<kshim::IoRequest> request;
            switch (random() % 4) {
            case 0:
                request = handle->Write(buffer.data(), length);
                break;
            case 1:
                request = handle->Read(buffer.data(), length);
                break;
            case 2: {
                std::vector<uint8_t> block(24 + 8, 0);
                block[12] = 8;
                request = handle->Control(driver::linkpod::kIoctlVendorIn, block.data(),
                                          static_cast<ULONG>(block.size()), buffer.data(), 32);
                break;
            }
            default:
                request = handle->Read(buffer.data(), length);
                request->Cancel();
                break;
            }
            request->Wait();
            EXPECT_LE(request->Information(), buffer.size());
        }
        handle->Close();
        handle.reset();
        // Without a handle the device may idle meanwhile.
        Pause(random() % 12000);
    }
    closed.Set();
}

void Torture::Pnp(Signal& ioStop, Signal* ioClosed, Signal& stopAll, Signal* othersDone) {
    std::mt19937 random(seed_ * 7 + 1);
    for (int step = 0; step < 8; ++step) {
        system_.Take();
        switch (random() % 4) {
        case 0:
            Node().QueryStop();
            Node().CancelStop();
            break;
        case 1:
            if (NT_SUCCESS(Node().QueryStop()) &&
                Node().State() == kshim::DeviceNode::PnpState::StopPending) {
                Node().Stop();
                Node().Start();
            }
            break;
        case 2:
            Node().QueryRemove();
            if (Node().State() == kshim::DeviceNode::PnpState::RemovePending)
                Node().CancelRemove();
            break;
        default:
            Node().QueryCapabilities();
            break;
        }
        system_.Give();
        Pause(random() % 20000);
    }
    const bool surprise = random() % 2 == 0;
    if (surprise) {
        system_.Take();
        Node().SurpriseRemove();
        system_.Give();
    }
    ioStop.Set();
    ioClosed[0].Wait();
    ioClosed[1].Wait();
    stopAll.Set();
    othersDone[0].Wait();
    othersDone[1].Wait();
    if (!surprise) {
        const NTSTATUS query = Node().QueryRemove();
        EXPECT_EQ(query, STATUS_SUCCESS);
        // A refused query leaves the device started: it goes by surprise.
        if (!NT_SUCCESS(query))
            Node().SurpriseRemove();
    }
    EXPECT_EQ(Node().Remove(), STATUS_SUCCESS);
}

void Torture::Power(Signal& stopAll, Signal& done) {
    std::mt19937 random(seed_ * 13 + 2);
    while (!stopAll.IsSet()) {
        system_.Take();
        if (Node().State() != kshim::DeviceNode::PnpState::SurpriseRemoved) {
            const SYSTEM_POWER_STATE sleep =
                random() % 2 ? PowerSystemSleeping1 : PowerSystemSleeping3;
            Node().SetSystemPower(sleep);
            Node().SetSystemPower(PowerSystemWorking);
        }
        system_.Give();
        Pause(5000 + random() % 30000);
    }
    done.Set();
}

// Runs until the last thread that pauses on virtual time is done.
void Torture::Time(Signal& powerDone, Signal& done) {
    std::mt19937 random(seed_ * 17 + 3);
    // Far more time than the others need: past it, something hangs, and the
    // kernel reports the threads that wait for ever.
    for (int step = 0; !powerDone.IsSet(); ++step) {
        if (step == 5000) {
            ADD_FAILURE() << "the other threads are still not done after hours of virtual time";
            break;
        }
        K().AdvanceMs(500 + random() % 5000);
        if (random() % 4 == 0)
            Bus().SignalWake();
    }
    done.Set();
}

void Torture::Run() {
    K().Perturb(seed_);
    Options options;
    options.idleSuspend = true;
    options.shape.remoteWake = true;
    for (DEVICE_POWER_STATE& state : options.sleepStates)
        state = PowerDeviceD2;
    options.plan.seed = seed_;
    options.plan.deferred = 0.3;
    options.plan.shortened = 0.05;
    options.plan.stall = 0.05;
    options.plan.fail = 0.05;

    // The device starts on a thread of the schedule too: nothing the machine
    // times decides anything.
    Signal started;
    Signal ioStop;
    Signal ioClosed[2];
    Signal stopAll;
    Signal othersDone[2];
    // Every failure in a thread names the seed that replays it.
    const std::string seed = "schedule seed " + std::to_string(seed_);
    K().RunThreads({
        {"pnp",
         [&] {
             SCOPED_TRACE(seed);
             StartDevice(options);
             started.Set();
             Pnp(ioStop, ioClosed, stopAll, othersDone);
         }},
        {"power",
         [&] {
             SCOPED_TRACE(seed);
             started.Wait();
             Power(stopAll, othersDone[0]);
         }},
        {"time",
         [&] {
             SCOPED_TRACE(seed);
             started.Wait();
             Time(othersDone[0], othersDone[1]);
         }},
        {"io 0",
         [&] {
             SCOPED_TRACE(seed);
             started.Wait();
             Io(0, ioStop, ioClosed[0]);
         }},
        {"io 1",
         [&] {
             SCOPED_TRACE(seed);
             started.Wait();
             Io(1, ioStop, ioClosed[1]);
         }},
    });
    EXPECT_EQ(Node().State(), kshim::DeviceNode::PnpState::Removed) << "seed " << seed_;
}

} // namespace linkpodtest
