// Each verifier check proven by the test driver with one deliberate flaw, and
// the same scenarios run clean without it.
#include "tests/driver/kshim/KernelFixture.h"

namespace kshimtest {
namespace {

using kshim::Check;

enum class Scenario {
    AddOnly,
    Open,
    Read,
    ReadDeferred,
    CloseHandle,
    Control,
    SystemPower,
    Remove,
    ForgottenRead,
    ControlThenRemove
};

struct Case {
    const char* name;
    Flaw flaw;
    Scenario scenario;
    Check check;
    ULONG code = 0;
    ULONG outputLength = 4;
};

const Case kCases[] = {
    {"CompleteTwice", Flaw::CompleteTwice, Scenario::Open, Check::IrpCompletedTwice},
    {"PendingNotMarked", Flaw::PendingNotMarked, Scenario::Read, Check::PendingNotMarked},
    {"MarkedNotPending", Flaw::MarkedNotPending, Scenario::Open, Check::MarkedNotPending},
    {"ReturnWithoutCompleting", Flaw::ReturnWithoutCompleting, Scenario::CloseHandle,
     Check::ReturnedWithoutCompleting},
    {"CompletionLostPending", Flaw::CompletionLostPending, Scenario::ReadDeferred,
     Check::CompletionLostPending},
    {"PassedDownAfterCompletion", Flaw::PassedDownAfterCompletion, Scenario::Open,
     Check::PassedDownAfterCompletion},
    {"CancelRoutineAtCompletion", Flaw::CancelRoutineAtCompletion, Scenario::Open,
     Check::CancelRoutineAtCompletion},
    {"PowerAtDispatch", Flaw::PowerAtDispatch, Scenario::SystemPower, Check::PowerIrpWrongLevel},
    {"NoStartNextPower", Flaw::NoStartNextPower, Scenario::SystemPower, Check::PowerIrpNotStarted},
    {"NestedLocks", Flaw::NestedLocks, Scenario::Control, Check::SpinLockNested, IOCTL_TEST_LOCKS},
    {"LocksOutOfOrder", Flaw::LocksOutOfOrder, Scenario::Control, Check::SpinLockOrder,
     IOCTL_TEST_LOCKS},
    {"WaitWithLock", Flaw::WaitWithLock, Scenario::Control, Check::WaitAtRaisedIrql,
     IOCTL_TEST_LOCKS},
    {"IrqlLeft", Flaw::IrqlLeft, Scenario::Control, Check::IrqlNotRestored, IOCTL_TEST_LOCKS},
    {"Untagged", Flaw::Untagged, Scenario::Control, Check::UntaggedAllocation, IOCTL_TEST_POOL},
    {"WrongTag", Flaw::WrongTag, Scenario::Control, Check::UntaggedAllocation, IOCTL_TEST_POOL},
    {"BadFree", Flaw::BadFree, Scenario::Control, Check::BadFree, IOCTL_TEST_POOL},
    {"OutputOverrun", Flaw::OutputOverrun, Scenario::Control, Check::OutputOverrun,
     IOCTL_TEST_COUNT, 8},
    {"OwnIrpReachesTop", Flaw::OwnIrpReachesTop, Scenario::Control, Check::AllocatedIrpReachedTop,
     IOCTL_TEST_OWN_IRP},
    {"WorkItemTwice", Flaw::WorkItemTwice, Scenario::Control, Check::WorkItemRequeued,
     IOCTL_TEST_WORKITEM},
    {"LeakAtUnload", Flaw::LeakAtUnload, Scenario::Remove, Check::LeakAtUnload},
    {"TimerLeftSet", Flaw::TimerLeftSet, Scenario::Remove, Check::TimerInFreedMemory},
    {"WmiStillRegistered", Flaw::WmiStillRegistered, Scenario::Remove,
     Check::ObjectStillRegistered},
    {"KeepsIoAtRemoval", Flaw::KeepsIoAtRemoval, Scenario::ForgottenRead,
     Check::OutstandingIoAtRemoval},
    {"StillInitializing", Flaw::StillInitializing, Scenario::AddOnly,
     Check::DeviceStillInitializing},
    {"PartialMdlOutside", Flaw::PartialMdlOutside, Scenario::Read, Check::BadMdl},
    {"UrbLongerThanBuffer", Flaw::UrbLongerThanBuffer, Scenario::Read, Check::UrbBufferTooShort},
    {"PagedPoolAtDispatch", Flaw::PagedPoolAtDispatch, Scenario::Control, Check::PagedAtDispatch,
     IOCTL_TEST_POOL},
    {"PageableCodeAtDispatch", Flaw::PageableCodeAtDispatch, Scenario::Control,
     Check::PagedAtDispatch, IOCTL_TEST_LOCKS},
    {"PnpAtDispatch", Flaw::PnpAtDispatch, Scenario::Remove, Check::PnpIrpWrongLevel},
    {"DeletedWhileAttached", Flaw::DeletedWhileAttached, Scenario::Remove,
     Check::DeviceDeletedAttached},
    {"ExecutablePool", Flaw::ExecutablePool, Scenario::Control, Check::ExecutablePool,
     IOCTL_TEST_POOL},
    {"TouchAfterDelete", Flaw::TouchAfterDelete, Scenario::Remove, Check::UseAfterRemoval},
    {"CallAfterDetach", Flaw::CallAfterDetach, Scenario::Remove, Check::UseAfterRemoval},
    {"PassiveAtDispatch", Flaw::PassiveAtDispatch, Scenario::Control, Check::IrqlTooHigh,
     IOCTL_TEST_LOCKS},
    {"CancelLockNested", Flaw::CancelLockNested, Scenario::Control, Check::SpinLockNested,
     IOCTL_TEST_LOCKS},
    {"CancelLockTwice", Flaw::CancelLockTwice, Scenario::Control, Check::SpinLockTakenTwice,
     IOCTL_TEST_LOCKS},
    {"SkipWithoutStartNext", Flaw::SkipWithoutStartNext, Scenario::SystemPower,
     Check::PowerIrpNotStarted},
    {"OwnIrpForgotten", Flaw::OwnIrpForgotten, Scenario::ControlThenRemove,
     Check::OutstandingIoAtRemoval, IOCTL_TEST_OWN_IRP},
    {"PowerIrpReclaimed", Flaw::PowerIrpReclaimed, Scenario::ControlThenRemove,
     Check::OutstandingIoAtRemoval, IOCTL_TEST_POWER_SELF},
};

class KshimVerifier : public KernelFixture, public ::testing::WithParamInterface<Case> {
protected:
    void Run(const Case& c) {
        // A platform that offers the no-execute pool, so executable pool is a finding.
        kernel.SetWdmVersion(6, 0x20);
        if (c.scenario == Scenario::AddOnly) {
            ASSERT_EQ(host->Load(), STATUS_SUCCESS);
            host->AddDevice(*bus);
            return;
        }
        kshim::DeviceNode& node = StartDevice();
        switch (c.scenario) {
        case Scenario::Open: {
            std::unique_ptr<kshim::FileHandle> handle;
            kshim::FileHandle::Open(Path(""), &handle);
            break;
        }
        case Scenario::ReadDeferred:
        case Scenario::Read: {
            if (c.scenario == Scenario::ReadDeferred) {
                kshim::FaultPlan plan;
                plan.deferred = 1.0;
                bus->SetFaultPlan(plan);
            }
            model.Queue({1, 2, 3, 4});
            auto in = Open("\\PIPE00");
            uint8_t back[8] = {};
            in->Read(back, 4)->Wait();
            break;
        }
        case Scenario::CloseHandle:
            Open("")->Close();
            break;
        case Scenario::Control: {
            auto device = Open("");
            uint8_t out[8] = {};
            device->Control(c.code, nullptr, 0, out, c.outputLength)->Wait();
            break;
        }
        case Scenario::SystemPower:
            node.SetSystemPower(PowerSystemSleeping3);
            break;
        case Scenario::Remove:
            node.QueryRemove();
            node.Remove();
            break;
        case Scenario::ControlThenRemove: {
            auto device = Open("");
            uint8_t out[8] = {};
            device->Control(c.code, nullptr, 0, out, c.outputLength)->Wait();
            device->Close();
            kernel.Settle();
            node.QueryRemove();
            node.Remove();
            break;
        }
        case Scenario::ForgottenRead: {
            bus->HoldTransfers(true);
            auto device = Open("");
            device->Control(IOCTL_TEST_OWN_READ, nullptr, 0, nullptr, 0)->Wait();
            device->Close();
            node.QueryRemove();
            node.Remove();
            break;
        }
        default:
            break;
        }
        kernel.Settle();
    }
};

TEST_P(KshimVerifier, FlawIsReported) {
    const Case& c = GetParam();
    SetFlaw(c.flaw);
    Run(c);
    EXPECT_TRUE(kernel.Has(c.check))
        << c.name << " should be reported as " << kshim::CheckName(c.check);
    // A flaw may break more than one rule; what it breaks is the point here.
    for (const kshim::Violation& v : kernel.Violations())
        Expect(v.check);
}

TEST_P(KshimVerifier, SameScenarioRunsCleanWithoutTheFlaw) {
    Case c = GetParam();
    if (c.scenario == Scenario::ForgottenRead)
        GTEST_SKIP() << "the correct driver has no forgotten read";
    SetFlaw(Flaw::None);
    Run(c);
    EXPECT_TRUE(kernel.Violations().empty());
}

INSTANTIATE_TEST_SUITE_P(EveryCheck, KshimVerifier, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return std::string(info.param.name);
                         });

// Reads of 1 to 4 bytes, all completed later by the bus, under a schedule:
// how many of them report another read's byte count.
int MixedUpReads(Flaw flaw, uint32_t seed) {
    SetFlaw(flaw);
    kshim::Kernel kernel;
    kernel.Perturb(seed);
    kernel.SetDriverTag(kTestTag);
    TestUsbModel model;
    int mixedUp = 0;
    {
        kshim::SimulatedUsbDevice bus(kernel, model);
        kshim::DriverHost host(kernel, TestDriverEntry, "KSHIMTEST");
        host.Load();
        kshim::DeviceNode& node = host.AddDevice(bus);
        node.Start();
        kshim::FaultPlan plan;
        plan.deferred = 1.0;
        bus.SetFaultPlan(plan);
        model.Queue(std::vector<uint8_t>(10, 7));
        std::unique_ptr<kshim::FileHandle> in;
        kshim::FileHandle::Open(kshim::InterfacePaths(kTestInterface).front() + "\\PIPE00", &in);
        kernel.RunThreads({{"reader", [&] {
                                uint8_t buffers[4][4] = {};
                                std::shared_ptr<kshim::IoRequest> reads[4];
                                for (ULONG i = 0; i < 4; ++i)
                                    reads[i] = in->Read(buffers[i], i + 1);
                                for (ULONG i = 0; i < 4; ++i) {
                                    reads[i]->Wait();
                                    mixedUp += reads[i]->Information() != i + 1 ? 1 : 0;
                                }
                                in->Close();
                                node.QueryRemove();
                                node.Remove();
                            }}});
    }
    for (const kshim::Violation& v : kernel.Violations())
        ADD_FAILURE() << v.detail;
    SetFlaw(Flaw::None);
    return mixedUp;
}

TEST(KshimConcurrentCompletions, OverlapAsOnSeveralProcessors) {
    // A driver whose completion routines share a scratch value is caught by
    // some seeds (the same ones every time); a correct one by none.
    int caught = 0;
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        EXPECT_EQ(MixedUpReads(Flaw::None, seed), 0) << "seed " << seed;
        caught += MixedUpReads(Flaw::SharedCompletionScratch, seed) > 0 ? 1 : 0;
    }
    EXPECT_GT(caught, 0);
}

TEST(KshimVerifierTable, EveryCheckIsProvenByACase) {
    std::set<Check> proven;
    for (const Case& c : kCases)
        proven.insert(c.check);
    for (int i = 0; i < kshim::kCheckCount; ++i) {
        Check check = static_cast<Check>(i);
        EXPECT_TRUE(proven.count(check)) << kshim::CheckName(check) << " has no broken driver";
        EXPECT_STRNE(kshim::CheckName(check), "unknown check");
    }
}

} // namespace
} // namespace kshimtest
