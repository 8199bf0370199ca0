#include "driver/kshim/KernelDeviceIo.h"

#include "driver/kshim/Files.h"
#include "driver/kshim/Host.h"

#include <cctype>
#include <mutex>

namespace kshim {

namespace {

std::string UserForm(const std::string& kernelPath) {
    return kernelPath.rfind("\\??\\", 0) == 0 ? "\\\\?\\" + kernelPath.substr(4) : kernelPath;
}

class KernelHandle : public port::DeviceHandle {
public:
    KernelHandle(std::unique_ptr<FileHandle> file, port::Clock* clock)
        : file_(std::move(file)), clock_(clock) {}

    Outcome Read(uint8_t* buffer, size_t size, uint32_t timeoutMs, size_t& transferred) override {
        return Finish(file_->Read(buffer, Clamp(size)), timeoutMs, transferred, clock_);
    }

    Outcome Write(const uint8_t* buffer, size_t size, uint32_t timeoutMs,
                  size_t& transferred) override {
        return Finish(file_->Write(buffer, Clamp(size)), timeoutMs, transferred, clock_);
    }

    void Cancel() override { file_->CancelIo(); }

private:
    static ULONG Clamp(size_t size) { return size > 0xFFFFFFFFu ? 0xFFFFFFFFu : ULONG(size); }

    static Outcome Finish(const std::shared_ptr<IoRequest>& request, uint32_t timeoutMs,
                          size_t& transferred, port::Clock* clock) {
        transferred = 0;
        bool timedOut = false;
        if (timeoutMs != 0 && clock) {
            Kernel::Current()->Settle();
            if (!request->Done()) {
                clock->SleepMs(timeoutMs);
                timedOut = !request->Done();
            }
        } else if (timeoutMs != 0) {
            timedOut = !request->WaitFor(std::chrono::milliseconds(timeoutMs));
        }
        if (timedOut) {
            request->Cancel();
            request->Wait();
            return Outcome::TimedOut;
        }
        // Complete by now, or (no time limit) waited for here.
        const IO_STATUS_BLOCK result = request->WaitResult();
        if (!NT_SUCCESS(result.Status))
            return Outcome::Failed;
        transferred = result.Information;
        return Outcome::Done;
    }

    std::unique_ptr<FileHandle> file_;
    port::Clock* clock_;
};

} // namespace

struct KernelDeviceIo::Events {
    std::mutex mu;
    EventHandler handler;
};

bool ParseGuid(const std::string& text, GUID& guid) {
    static const int groups[] = {8, 4, 4, 4, 12};
    if (text.size() != 38 || text.front() != '{' || text.back() != '}')
        return false;
    std::string hex;
    size_t at = 1;
    for (int g = 0; g < 5; ++g) {
        for (int i = 0; i < groups[g]; ++i, ++at) {
            if (!std::isxdigit(static_cast<unsigned char>(text[at])))
                return false;
            hex.push_back(text[at]);
        }
        if (g < 4 && text[at++] != '-')
            return false;
    }
    auto value = [&](size_t from, size_t digits) {
        return std::stoull(hex.substr(from, digits), nullptr, 16);
    };
    guid.Data1 = static_cast<ULONG>(value(0, 8));
    guid.Data2 = static_cast<USHORT>(value(8, 4));
    guid.Data3 = static_cast<USHORT>(value(12, 4));
    for (int i = 0; i < 8; ++i)
        guid.Data4[i] = static_cast<UCHAR>(value(16 + 2 * i, 2));
    return true;
}

KernelDeviceIo::KernelDeviceIo(port::Clock* clock)
    : events_(std::make_shared<Events>()), clock_(clock) {
    std::shared_ptr<Events> events = events_;
    watch_ = std::make_unique<InterfaceWatch>(
        [events](bool arrival, const std::string& path, const GUID&) {
            EventHandler handler;
            {
                std::lock_guard<std::mutex> guard(events->mu);
                handler = events->handler;
            }
            if (handler)
                handler(arrival ? port::DeviceEvent::Arrival : port::DeviceEvent::Removal,
                        UserForm(path));
        });
}

KernelDeviceIo::~KernelDeviceIo() = default;

bool KernelDeviceIo::InterfaceMember(const std::string& interfaceClass, uint32_t memberIndex,
                                     std::string& path) {
    GUID guid;
    if (!ParseGuid(interfaceClass, guid))
        return false;
    std::vector<std::string> paths = InterfacePaths(guid);
    if (memberIndex >= paths.size())
        return false;
    path = UserForm(paths[memberIndex]);
    return true;
}

std::unique_ptr<port::DeviceHandle> KernelDeviceIo::Open(const std::string& path) {
    std::unique_ptr<FileHandle> file;
    if (!NT_SUCCESS(FileHandle::Open(path, &file)))
        return nullptr;
    return std::make_unique<KernelHandle>(std::move(file), clock_);
}

void KernelDeviceIo::SetEventHandler(EventHandler handler) {
    std::lock_guard<std::mutex> guard(events_->mu);
    events_->handler = std::move(handler);
}

} // namespace kshim
