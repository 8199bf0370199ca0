// Internal state of the user-mode kernel, shared by its source files.
#pragma once

#include "driver/kshim/Host.h"
#include "driver/kshim/Registry.h"
#include "driver/kshim/src/NodeCache.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace kshim {

class SimulatedUsbDevice;

// Per stack location, what the dispatch at that level did with the request.
enum LevelFlag : uint8_t {
    kMarked = 1,
    kPassedDown = 2,
    kCompleted = 4,
    kLowerPending = 8,
};

enum class IrpOrigin { Driver, DriverIoctl, Kernel };
enum class IrpState { Idle, InFlight, Completing, Reclaimed, Done, Freed };

struct IrpRecord {
    // The request, in the room of `room` bytes that follows the record in
    // the same block.
    PIRP irp = nullptr;
    size_t room = 0;
    IrpOrigin origin = IrpOrigin::Kernel;
    IrpState state = IrpState::Idle;
    uint64_t generation = 0;
    int routineDepth = 0;
    std::thread::id routineThread;
    // The dispatches active for the request are kept by the threads running
    // them; a request that starts afresh (reused) moves to a new epoch, and
    // dispatches of an earlier one no longer count as its own.
    std::atomic<uint32_t> frameEpoch{0};
    // Power requests: per stack location, the devices whose dispatch got the
    // request there (several when drivers skip their location), and the
    // devices that called PoStartNextPowerIrp for it.
    std::vector<std::vector<PDEVICE_OBJECT>> visited;
    std::vector<PDEVICE_OBJECT> startedBy;
    // Runs when completion passes the top location (kernel requests).
    std::function<void(PIRP)> onFinal;
    // Kernel requests whose final step begins by retiring them: retired in
    // the same look at the kernel's state that ends their completion, before
    // onFinal runs (the request stays readable in the graveyard).
    bool retireAtFinal = false;
    // Kept alive until onFinal has run (what onFinal refers to).
    std::shared_ptr<void> keep;
    // An MDL the kernel made for this request, freed with it at its final
    // completion.
    PMDL kernelMdl = nullptr;
    // Requests built by IoBuildDeviceIoControlRequest.
    std::vector<uint8_t> systemBuffer;
    PVOID outputBuffer = nullptr;
    ULONG outputLength = 0;
    // Where the record is in State::liveIrps while it is live, or in
    // State::stashed while stashed.
    size_t liveIndex = 0;
    // Taken out of the graveyard for a thread's next kernel request, which
    // has not been passed down yet.
    bool stashed = false;
};

// Freed requests, oldest first: a ring that allocates only as it grows.
class Graveyard {
public:
    size_t size() const { return count_; }
    IrpRecord* front() const { return ring_[head_]; }
    void pop_front() {
        head_ = (head_ + 1) & (ring_.size() - 1);
        --count_;
    }
    void push_back(IrpRecord* record) {
        if (count_ == ring_.size())
            Grow();
        ring_[(head_ + count_) & (ring_.size() - 1)] = record;
        ++count_;
    }
    template <class Visit> void ForEach(Visit visit) const {
        for (size_t i = 0; i < count_; ++i)
            visit(ring_[(head_ + i) & (ring_.size() - 1)]);
    }

private:
    // Capacities are powers of two, so that a place is found with a mask.
    void Grow() {
        std::vector<IrpRecord*> bigger(ring_.empty() ? 16 : 2 * ring_.size());
        for (size_t i = 0; i < count_; ++i)
            bigger[i] = ring_[(head_ + i) & (ring_.size() - 1)];
        ring_.swap(bigger);
        head_ = 0;
    }
    std::vector<IrpRecord*> ring_;
    size_t head_ = 0;
    size_t count_ = 0;
};

// The kernel's record of one device object.
struct DeviceRecord {
    PDEVICE_OBJECT device = nullptr;
    std::atomic<bool> deleted{false};
    // Taken off its stack by IoDetachDevice (the upper device), or left with
    // no device above it that way (the lower one).
    std::atomic<bool> detached{false};
    std::atomic<bool> upperDetached{false};
    bool isPdo = false;
    bool wmiRegistered = false;
    SimulatedUsbDevice* usb = nullptr; // for bus devices
    PDEVICE_OBJECT attachedTo = nullptr;
    bool refuseAttach = false;
    std::vector<DEVICE_POWER_STATE> powerHistory;
    DEVICE_POWER_STATE powerState = PowerDeviceD0;
    std::vector<uint8_t> memory; // object plus extension
    // Handles open on this physical device object (counted without a lock:
    // a program opens a pipe for every packet).
    std::atomic<int> openFiles{0};
};

struct PoolBlock {
    size_t size = 0;
    ULONG tag = 0;
    bool driver = true;
};

struct MdlRecord {
    ULONG pages = 0; // capacity in pages, fixed at allocation
    bool driver = true;
};

struct InterfaceRecord {
    std::u16string link;
    // The link in lower case, for opening by name without widening every
    // path; empty when the link is not all ASCII (such a link opens by no name).
    std::string lowerLink;
    GUID guid{};
    PDEVICE_OBJECT pdo = nullptr;
    bool enabled = false;
};

struct DriverStorage {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string name;
};

struct State {
    Kernel* owner = nullptr;

    // Bookkeeping: requests, objects, allocations. Never held while driver code runs.
    mutable std::mutex mu;
    // Waited on for a completion routine's end and for kernel threads to
    // finish; `cvWaiters` (under mu) counts the threads waiting on it, so
    // that the many changes nobody waits for wake nobody.
    std::condition_variable cv;
    int cvWaiters = 0;
    void WakeWaiters() {
        if (cvWaiters)
            cv.notify_all();
    }

    // Dispatcher objects and virtual time.
    std::mutex dmu;
    std::condition_variable dcv;
    int64_t now = 0;
    std::set<PKTIMER> timers;
    std::set<PKDPC> queuedDpcs;
    // The lowest and highest address of a set timer or queued DPC (under dmu
    // when written): a freed range outside them holds neither, which is
    // known without the lock.
    std::atomic<uintptr_t> armedLow{UINTPTR_MAX};
    std::atomic<uintptr_t> armedHigh{0};
    // Updates the two after timers or queuedDpcs changed (dmu held).
    void NoteArmedLocked();
    // False when no set timer or queued DPC can lie in the range (no lock).
    bool MayHoldArmed(const void* start, size_t size) const;
    int dpcRunning = 0;

    // Verifier.
    std::vector<Violation> violations;
    std::function<void(const Violation&)> handler;
    ULONG driverTag = 0;

    // Allocation accounting and failure injection.
    uint64_t allocations = 0;
    uint64_t failAt = 0;
    // Records of pool blocks and MDLs come from nodes kept for reuse (under
    // mu): taking and freeing them per transfer allocates nothing.
    template <class Key, class Value>
    using RecordMap = std::unordered_map<Key, Value, std::hash<Key>, std::equal_to<Key>,
                                         CachedNodes<std::pair<const Key, Value>>>;
    NodeCache poolNodes;
    NodeCache mdlNodes;
    RecordMap<void*, PoolBlock> pool =
        RecordMap<void*, PoolBlock>(CachedNodes<std::pair<void* const, PoolBlock>>(&poolNodes));
    RecordMap<PMDL, MdlRecord> mdls =
        RecordMap<PMDL, MdlRecord>(CachedNodes<std::pair<const PMDL, MdlRecord>>(&mdlNodes));
    // Freed MDLs, kept for the next one (under mu). Not under the address
    // sanitizer: there a driver's use of a freed block or MDL must reach
    // freed heap memory to be reported.
#if defined(__SANITIZE_ADDRESS__)
    static constexpr bool kKeepFreedBlocks = false;
#else
    static constexpr bool kKeepFreedBlocks = true;
#endif
    std::vector<PMDL> spareMdls;
    // Freed pool blocks and their sizes, filled as freed, kept for the next
    // allocation of the same size (under mu).
    std::vector<std::pair<size_t, void*>> sparePool;
    std::unordered_set<PIRP> driverIrps;
    std::unordered_set<void*> workItems;
    std::unordered_set<void*> keys;
    Graveyard graveyard;
    // Requests allocated and not yet freed; a record knows its place, so
    // taking one in or out allocates nothing.
    std::vector<IrpRecord*> liveIrps;
    // Records threads took out of the graveyard for their next kernel
    // request, until it is passed down (then it is live) or retired.
    std::vector<IrpRecord*> stashed;
    // Tells this kernel's stashed records from those of an earlier one.
    uint64_t serial = 0;

    // Devices, interfaces, notifications.
    std::vector<std::unique_ptr<DeviceRecord>> devices;
    std::vector<InterfaceRecord> interfaces;
    std::vector<std::unique_ptr<DriverStorage>> drivers;
    unsigned nextUsbInstance = 1;
    UCHAR wdmMajor = 1;
    UCHAR wdmMinor = 0x30;
    // Callbacks of requested power IRPs kept back by HoldPowerCallbacks.
    bool holdPowerCallbacks = false;
    std::vector<std::function<void()>> heldPowerCallbacks;
    Registry registry;
    std::vector<std::string> debugLog;

    // Interface notifications, delivered in order on a kernel thread.
    struct InterfaceNote {
        bool arrival;
        std::string link;
        GUID guid;
    };
    std::map<int, std::function<void(const InterfaceNote&)>> watchers;
    int nextWatcher = 1;
    std::deque<InterfaceNote> notes;
    bool notifying = false;

    // Worker threads started by the kernel and still running.
    int active = 0;

    // The cancel spin lock, tracked like the driver's own.
    KSPIN_LOCK cancelLock = 0;
    // One thread advances virtual time at a time (under dmu).
    bool advancing = false;
    // Threads waiting on each dispatcher object, first come first served
    // (under dmu).
    struct WaitBlock {
        bool granted = false;
    };
    std::unordered_map<const void*, std::deque<WaitBlock*>> waitQueues;
    // Extensions of deleted devices, poisoned; a list that only grows, read
    // without a lock.
    struct DeletedRange {
        const uint8_t* begin;
        const uint8_t* end;
        DeletedRange* next;
    };
    std::atomic<DeletedRange*> deleted{nullptr};

    // Allocation counting: true when this allocation must fail.
    bool CountAllocation();
    // The same with `mu` held by the caller.
    bool CountAllocationLocked();
    void Violate(Check check, const std::string& detail);
    // A finding when the calling thread runs above `highest` in `routine`.
    void RequireIrql(KIRQL highest, const char* routine);
    void IrqlTooHigh(KIRQL highest, const char* routine);
    // True when `address` lies in the extension of a deleted device.
    bool InDeletedDevice(const void* address) const;
    // Runs work on a new kernel thread at passive level.
    void Spawn(std::function<void()> work);
};

// Counts the calling thread among those waiting on State::cv while it lives;
// made and destroyed with mu held.
class CvWaiter {
public:
    explicit CvWaiter(State& s) : s_(s) { ++s_.cvWaiters; }
    ~CvWaiter() { --s_.cvWaiters; }
    CvWaiter(const CvWaiter&) = delete;
    CvWaiter& operator=(const CvWaiter&) = delete;

private:
    State& s_;
};

State& Current();
IrpRecord* RecordOf(PIRP irp);
// A record and the request of `irpBytes` it keeps, in one block: a request
// reused from the graveyard is then one run of memory, not two.
IrpRecord* NewIrpRecord(size_t irpBytes);
void DeleteIrpRecord(IrpRecord* record);
DeviceRecord* RecordOf(PDEVICE_OBJECT device);
// A new request; with `mdlLength` bytes at `mdlAddress` given, an MDL the
// kernel makes for them becomes its MdlAddress, freed with the request.
PIRP NewIrp(CCHAR stackSize, IrpOrigin origin, PVOID mdlAddress = nullptr, ULONG mdlLength = 0);
PMDL NewKernelMdl(PVOID address, ULONG length);
// A kernel MDL, recorded, with `mu` held.
PMDL NewKernelMdlLocked(State& s, PVOID address, ULONG length);
// Takes a freed MDL out of the records with `mu` held; false when it is not in them.
bool FreeMdlLocked(State& s, PMDL mdl);
void FreeKernelMdl(PMDL mdl);
void RetireIrp(PIRP irp);
// Lets go of a kernel request that was never passed down, and of its MDL.
void DiscardIrp(PIRP irp);
// Sends a kernel request to a device at passive level and waits for it.
NTSTATUS SendAndWait(PDEVICE_OBJECT device, PIRP irp, IO_STATUS_BLOCK* status);
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);
PDEVICE_OBJECT CreateDeviceObject(PDRIVER_OBJECT driver, ULONG extensionSize, ULONG type);
// A driver object whose every entry fails with STATUS_INVALID_DEVICE_REQUEST.
PDRIVER_OBJECT NewDriverObject(const std::string& name);
void CheckFreedRange(const void* start, size_t size, const char* what);
std::string Hex(uint64_t value);
std::string TagText(ULONG tag);
void* KernelPoolForDriver(size_t size);
// Registry paths of a bus device: its instance key and its driver key.
std::string UsbInstanceKey(SimulatedUsbDevice* usb);
std::string UsbInterfaceBase(SimulatedUsbDevice* usb);
std::string Narrow(PCUNICODE_STRING text);

// The calling thread's level and held driver spin locks.
namespace detail {
inline thread_local KIRQL t_irql = PASSIVE_LEVEL;
} // namespace detail
inline KIRQL& ThreadIrql() {
    return detail::t_irql;
}
inline void State::RequireIrql(KIRQL highest, const char* routine) {
    if (ThreadIrql() > highest)
        IrqlTooHigh(highest, routine);
}
// Lowers the calling thread's level; work queued while it was at dispatch
// level starts once it drops below, as on a single processor.
void LowerIrql(KIRQL irql);
void StartWhenLowered(std::function<void()> start);
std::vector<PKSPIN_LOCK>& HeldLocks();

// What IoDeleteDevice fills a device's extension with.
constexpr uint8_t kPoisonByte = 0xDB;
constexpr ULONG_PTR kPoisonedLock = static_cast<ULONG_PTR>(0xDBDBDBDBDBDBDBDBull);

} // namespace kshim
