#include "driver/simstack/KernelStack.h"

#include "driver/kshim/DriverHost.h"
#include "driver/kshim/Files.h"
#include "driver/kshim/KernelDeviceIo.h"
#include "driver/kshim/Registry.h"
#include "driver/linkpod/Device.h"
#include "driver/simstack/WriterModel.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace driver::simstack {
namespace {

using PnpState = kshim::DeviceNode::PnpState;

std::string Lower(std::string text) {
    for (auto& c : text)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return text;
}

// "\??\..." as user mode writes it, "\\?\...", in lower case.
std::string UserForm(const std::string& kernelPath) {
    return Lower(kernelPath.rfind("\\??\\", 0) == 0 ? "\\\\?\\" + kernelPath.substr(4)
                                                    : kernelPath);
}

// The service name under which the driver's parameters key is read.
constexpr const char* kService = "PODLINK";
constexpr const char* kParametersKey =
    "\\REGISTRY\\Machine\\System\\CurrentControlSet\\SERVICES\\PODLINK\\Parameters";

// One device the writer was on the kernel's bus, from one plug to its unplug.
struct Device {
    std::shared_ptr<sim::Writer> writer;
    std::unique_ptr<WriterModel> model;
    std::unique_ptr<kshim::SimulatedUsbDevice> usb;
    kshim::DeviceNode* node = nullptr;
    std::string kernelPath; // user-mode form, lower case
    // Handles of ours open on it, and whether it was unplugged (then removal
    // follows once no handle is open). Set under Core::mu; a handle closes
    // without it (one opens and closes for every packet).
    std::atomic<int> handles{0};
    std::atomic<bool> leaving{false};
};

} // namespace

struct KernelStack::Core : std::enable_shared_from_this<KernelStack::Core> {
    explicit Core(std::shared_ptr<sim::Bus> b) : bus(std::move(b)) {}
    ~Core();

    void Begin();
    // Runs `task` on the Plug and Play thread; waits for it unless the caller
    // is inside a writer transfer (which the task may have to wait for).
    void Post(std::function<void()> task, bool wait);
    void WorkerLoop();

    void Arrive(const std::string& writerPath);
    void Leave(const std::string& writerPath);
    void Sweep();
    void HandleClosed(Device* device);
    void ShutDown();

    // The kernel is created first and destroyed last.
    kshim::Kernel kernel;
    std::shared_ptr<sim::Bus> bus;
    uint64_t subscription = 0;

    mutable std::mutex mu;
    std::list<std::unique_ptr<Device>> devices;  // every device, kept to the end
    std::map<std::string, Device*> current;      // writer path (lower case) -> plugged device
    std::map<std::string, std::string> writerOf; // kernel path (lower case) -> writer path
    std::vector<kshim::Violation> findings;
    Lifecycle stats;
    std::mutex handlerMu;
    EventHandler handler;

    std::unique_ptr<kshim::DriverHost> host;
    std::unique_ptr<kshim::KernelDeviceIo> io;

    std::mutex queueMu;
    std::condition_variable queueCv;
    std::deque<std::function<void()>> queue;
    uint64_t posted = 0;
    uint64_t finished = 0;
    bool stopping = false;
    std::thread worker;
};

namespace {

class StackHandle : public port::DeviceHandle {
public:
    StackHandle(std::shared_ptr<KernelStack::Core> core, Device* device,
                std::unique_ptr<port::DeviceHandle> inner)
        : core_(std::move(core)), device_(device), inner_(std::move(inner)) {}
    ~StackHandle() override {
        inner_.reset();
        core_->HandleClosed(device_);
    }

    Outcome Read(uint8_t* buffer, size_t size, uint32_t timeoutMs, size_t& transferred) override {
        device_->model->SetHostLimit(true, timeoutMs);
        core_->bus->Wire().HostStarts();
        return inner_->Read(buffer, size, timeoutMs, transferred);
    }
    Outcome Write(const uint8_t* buffer, size_t size, uint32_t timeoutMs,
                  size_t& transferred) override {
        device_->model->SetHostLimit(false, timeoutMs);
        core_->bus->Wire().HostStarts();
        return inner_->Write(buffer, size, timeoutMs, transferred);
    }
    void Cancel() override { inner_->Cancel(); }

private:
    std::shared_ptr<KernelStack::Core> core_;
    Device* device_;
    std::unique_ptr<port::DeviceHandle> inner_;
};

} // namespace

void KernelStack::Core::Begin() {
    kernel.SetDriverTag(driver::linkpod::kPoolTag);
    // A current platform: it offers the no-execute pool, so the verifier
    // reports executable pool.
    kernel.SetWdmVersion(6, 0x30);
    kernel.OnViolation([this](const kshim::Violation& violation) {
        std::fprintf(stderr, "kernel verifier: %s: %s\n", kshim::CheckName(violation.check),
                     violation.detail.c_str());
        std::lock_guard<std::mutex> guard(mu);
        findings.push_back(violation);
    });
    host = std::make_unique<kshim::DriverHost>(kernel, DriverEntry, kService);
    // On time that jumps (a test's manual clock, or the process's virtual
    // time) a transfer's limit is that time's: once no kernel thread has work
    // left, a transfer still pending can only end by its limit. A real-time
    // limit there would let a slow or busy machine time out a transfer the
    // writer has already answered. The machine's clock waits real time.
    port::Clock* clock = dynamic_cast<port::ManualClock*>(&bus->Clock()) ? &bus->Clock() : nullptr;
    io = std::make_unique<kshim::KernelDeviceIo>(clock);
    std::weak_ptr<Core> weak = weak_from_this();
    io->SetEventHandler([weak](port::DeviceEvent event, const std::string& kernelPath) {
        auto core = weak.lock();
        if (!core)
            return;
        std::string writerPath;
        {
            std::lock_guard<std::mutex> guard(core->mu);
            auto found = core->writerOf.find(Lower(kernelPath));
            if (found == core->writerOf.end())
                return;
            writerPath = found->second;
        }
        Core* self = core.get();
        auto deliver = [self, event, writerPath] {
            EventHandler call;
            {
                std::lock_guard<std::mutex> guard(self->handlerMu);
                call = self->handler;
            }
            if (call)
                call(event, writerPath);
        };
        // The interface is enabled while the device starts, before the
        // stack lists it: the arrival is told once the start has finished,
        // so a program that opens the writer at once finds it.
        if (event == port::DeviceEvent::Arrival)
            self->Post(deliver, false);
        else
            deliver();
    });
    worker = std::thread([this] { WorkerLoop(); });
    subscription = bus->Subscribe([weak](port::DeviceEvent event, const std::string& writerPath) {
        auto core = weak.lock();
        if (!core)
            return;
        Core* self = core.get();
        const bool arrival = event == port::DeviceEvent::Arrival;
        self->Post(
            [self, arrival, writerPath] {
                if (arrival)
                    self->Arrive(writerPath);
                else
                    self->Leave(writerPath);
            },
            !WriterModel::InsideTransfer());
    });
    for (const auto& writer : bus->Writers()) {
        const std::string path = writer->InterfacePath();
        Post([this, path] { Arrive(path); }, true);
    }
    // The arrivals of the writers present at start are told before anyone
    // can listen; they are not news to a program that starts now.
    Post([] {}, true);
}

KernelStack::Core::~Core() {
    bus->Unsubscribe(subscription);
    // The kernel keeps per-thread state; at process exit the state of the
    // thread that ends the program is gone already, so the devices are
    // removed and the driver unloaded on the Plug and Play thread.
    Post([this] { ShutDown(); }, true);
    {
        std::lock_guard<std::mutex> guard(queueMu);
        stopping = true;
    }
    queueCv.notify_all();
    if (worker.joinable())
        worker.join();
}

void KernelStack::Core::ShutDown() {
    // The system removes every device before it shuts down.
    kernel.Settle();
    for (auto& device : devices) {
        kshim::DeviceNode* node = device->node;
        if (!node)
            continue;
        try {
            if (node->State() == PnpState::StopPending)
                node->CancelStop();
            if (node->State() == PnpState::Started || node->State() == PnpState::Stopped)
                node->QueryRemove();
            if (node->State() == PnpState::RemovePending ||
                node->State() == PnpState::SurpriseRemoved || node->State() == PnpState::Added ||
                node->State() == PnpState::Stopped) {
                node->Remove();
                ++stats.removals;
            }
        } catch (const std::logic_error& error) {
            std::fprintf(stderr, "simulated writer stack: %s\n", error.what());
        }
    }
    kernel.Settle();
    io.reset();
    if (host && host->Loaded())
        host->Unload();
    host.reset();
    devices.clear();
}

void KernelStack::Core::Post(std::function<void()> task, bool wait) {
    uint64_t ticket;
    {
        std::lock_guard<std::mutex> guard(queueMu);
        queue.push_back(std::move(task));
        ticket = ++posted;
    }
    queueCv.notify_all();
    if (!wait)
        return;
    std::unique_lock<std::mutex> lock(queueMu);
    queueCv.wait(lock, [&] { return finished >= ticket; });
}

void KernelStack::Core::WorkerLoop() {
    std::unique_lock<std::mutex> lock(queueMu);
    for (;;) {
        queueCv.wait(lock, [&] { return stopping || !queue.empty(); });
        if (queue.empty())
            return;
        auto task = std::move(queue.front());
        queue.pop_front();
        lock.unlock();
        task();
        lock.lock();
        ++finished;
        queueCv.notify_all();
    }
}

void KernelStack::Core::Arrive(const std::string& writerPath) {
    const std::string key = Lower(writerPath);
    auto writer = bus->WriterByPath(writerPath);
    {
        std::lock_guard<std::mutex> guard(mu);
        if (current.count(key) || !writer || !writer->Plugged())
            return;
    }
    auto device = std::make_unique<Device>();
    device->writer = writer;
    device->model = std::make_unique<WriterModel>(writer);
    device->usb = std::make_unique<kshim::SimulatedUsbDevice>(kernel, *device->model);
    // "\??\usb#vid_xxxx&pid_yyyy#N" plus the class the driver registers.
    device->kernelPath = UserForm(device->usb->InterfaceBase() + "#" + port::kWriterInterfaceClass);
    Device* raw = device.get();
    {
        std::lock_guard<std::mutex> guard(mu);
        writerOf[device->kernelPath] = writer->InterfacePath();
        devices.push_back(std::move(device));
    }
    // The system loads the driver again for a device that arrives after its
    // last one left.
    if (!host->Loaded() && !NT_SUCCESS(host->Load())) {
        std::fprintf(stderr, "simulated writer stack: the driver did not load\n");
        return;
    }
    raw->node = &host->AddDevice(*raw->usb);
    if (!NT_SUCCESS(raw->node->AddStatus()))
        return;
    raw->node->QueryCapabilities();
    if (!NT_SUCCESS(raw->node->Start()))
        return;
    kernel.Settle();
    std::lock_guard<std::mutex> guard(mu);
    current[key] = raw;
    ++stats.arrivals;
}

void KernelStack::Core::Leave(const std::string& writerPath) {
    Device* device = nullptr;
    {
        std::lock_guard<std::mutex> guard(mu);
        auto found = current.find(Lower(writerPath));
        if (found == current.end())
            return;
        device = found->second;
        device->leaving = true;
        current.erase(found);
    }
    const PnpState state = device->node->State();
    if (state != PnpState::Removed && state != PnpState::Failed &&
        state != PnpState::SurpriseRemoved) {
        device->node->SurpriseRemove();
        std::lock_guard<std::mutex> guard(mu);
        ++stats.surpriseRemovals;
    }
    Sweep();
}

void KernelStack::Core::Sweep() {
    // Handles close their files on kernel threads too.
    kernel.Settle();
    std::vector<Device*> ready;
    {
        std::lock_guard<std::mutex> guard(mu);
        for (auto& device : devices)
            if (device->leaving && device->handles == 0 && device->node &&
                device->node->State() == PnpState::SurpriseRemoved)
                ready.push_back(device.get());
    }
    for (Device* device : ready) {
        try {
            device->node->Remove();
        } catch (const std::logic_error&) {
            continue; // a handle is still closing; the next sweep removes it
        }
        std::lock_guard<std::mutex> guard(mu);
        ++stats.removals;
    }
}

void KernelStack::Core::HandleClosed(Device* device) {
    // Leave marks the device before it sweeps: either it sees this handle
    // gone, or this sees the device leaving.
    const bool sweep = device->handles.fetch_sub(1) == 1 && device->leaving.load();
    // Never waits: handles may close on threads the sweep waits for.
    if (sweep)
        Post([this] { Sweep(); }, false);
}

KernelStack::KernelStack(std::shared_ptr<sim::Bus> bus, const Options& options) {
    if (kshim::Kernel::Current())
        throw std::runtime_error("The simulated writers cannot start: another simulated "
                                 "kernel is running in this program");
    core_ = std::make_shared<Core>(std::move(bus));
    if (options.maximumTransferSize)
        core_->kernel.GetRegistry().SetDword(kParametersKey, "MaximumTransferSize",
                                             options.maximumTransferSize);
    core_->Begin();
}

KernelStack::~KernelStack() = default;

bool KernelStack::InterfaceMember(const std::string& interfaceClass, uint32_t memberIndex,
                                  std::string& path) {
    std::string wanted = Lower(interfaceClass);
    if (!wanted.empty() && wanted.front() != '{')
        wanted = "{" + wanted + "}";
    if (wanted != port::kWriterInterfaceClass)
        return false;
    auto writer = core_->bus->WriterAt(memberIndex);
    if (!writer || !writer->Plugged())
        return false;
    std::string kernelPath;
    {
        std::lock_guard<std::mutex> guard(core_->mu);
        auto found = core_->current.find(Lower(writer->InterfacePath()));
        if (found == core_->current.end())
            return false;
        kernelPath = found->second->kernelPath;
    }
    // Listed only while the driver has the interface enabled.
    GUID guid;
    kshim::ParseGuid(port::kWriterInterfaceClass, guid);
    for (const std::string& enabled : kshim::InterfacePaths(guid))
        if (UserForm(enabled) == kernelPath) {
            path = writer->InterfacePath();
            return true;
        }
    return false;
}

std::unique_ptr<port::DeviceHandle> KernelStack::Open(const std::string& path) {
    // Writer paths are kept in lower case; the path is compared without a
    // copy, first as the writer spells it (programs open the path they were
    // given, for every packet), then without regard to case.
    auto startsWith = [&path](const std::string& lower, const std::string& spelt) {
        if (path.size() < lower.size())
            return false;
        if (path.compare(0, spelt.size(), spelt) == 0)
            return true;
        for (size_t i = 0; i < lower.size(); ++i) {
            const char c = path[i];
            if ((c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c) != lower[i])
                return false;
        }
        return true;
    };
    Device* device = nullptr;
    std::string kernelPath;
    {
        std::lock_guard<std::mutex> guard(core_->mu);
        for (const auto& [writerPath, candidate] : core_->current) {
            if (!startsWith(writerPath, candidate->writer->InterfacePath()))
                continue;
            if (path.size() > writerPath.size() && path[writerPath.size()] != '\\')
                continue;
            device = candidate;
            kernelPath.reserve(candidate->kernelPath.size() + path.size() - writerPath.size());
            kernelPath.append(candidate->kernelPath).append(path, writerPath.size());
            ++device->handles;
            break;
        }
    }
    if (!device)
        return nullptr;
    std::unique_ptr<port::DeviceHandle> inner;
    if (device->writer->Plugged())
        inner = core_->io->Open(kernelPath);
    if (!inner) {
        core_->HandleClosed(device);
        return nullptr;
    }
    return std::make_unique<StackHandle>(core_, device, std::move(inner));
}

void KernelStack::SetEventHandler(EventHandler handler) {
    std::lock_guard<std::mutex> guard(core_->handlerMu);
    core_->handler = std::move(handler);
}

const std::shared_ptr<sim::Bus>& KernelStack::GetBus() const {
    return core_->bus;
}

void KernelStack::Settle() {
    core_->Post([] {}, true);
    core_->kernel.Settle();
}

KernelStack::Lifecycle KernelStack::Stats() const {
    std::lock_guard<std::mutex> guard(core_->mu);
    return core_->stats;
}

uint64_t KernelStack::BusTransfers() const {
    std::lock_guard<std::mutex> guard(core_->mu);
    uint64_t total = 0;
    for (const auto& device : core_->devices)
        total += device->usb->Stats().bulk;
    return total;
}

kshim::LiveObjects KernelStack::Live() const {
    return core_->kernel.Live();
}

std::vector<kshim::Violation> KernelStack::Findings() const {
    std::lock_guard<std::mutex> guard(core_->mu);
    return core_->findings;
}

} // namespace driver::simstack
