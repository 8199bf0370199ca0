#include "sim/SimDeviceIo.h"

#include "sim/StateFile.h"

#include <atomic>
#include <cstdlib>
#include <stdexcept>

namespace sim {
namespace {

std::string Lower(std::string text) {
    for (auto& c : text)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return text;
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

enum class Pipe { None, In, Out };

class SimHandle : public port::DeviceHandle {
public:
    SimHandle(std::shared_ptr<Bus> bus, std::shared_ptr<Writer> writer, Pipe pipe)
        : bus_(std::move(bus)), writer_(std::move(writer)), pipe_(pipe),
          generation_(writer_->Generation()) {}

    Outcome Read(uint8_t* buffer, size_t size, uint32_t timeoutMs, size_t& transferred) override {
        transferred = 0;
        if (pipe_ != Pipe::In)
            return Outcome::Failed;
        bus_->Wire().HostStarts();
        cancel_ = false;
        const auto result = writer_->Read(generation_, buffer, size, timeoutMs, cancel_);
        transferred = result.outcome == Outcome::Done ? result.transferred : 0;
        return result.outcome;
    }

    Outcome Write(const uint8_t* buffer, size_t size, uint32_t timeoutMs,
                  size_t& transferred) override {
        transferred = 0;
        if (pipe_ != Pipe::Out)
            return Outcome::Failed;
        bus_->Wire().HostStarts();
        cancel_ = false;
        const auto result = writer_->Write(generation_, buffer, size, timeoutMs, cancel_);
        transferred = result.outcome == Outcome::Done ? result.transferred : 0;
        return result.outcome;
    }

    void Cancel() override {
        cancel_ = true;
        writer_->WakeWaiters();
    }

private:
    std::shared_ptr<Bus> bus_; // keeps the bus (and its hooks) alive
    std::shared_ptr<Writer> writer_;
    Pipe pipe_;
    uint64_t generation_;
    std::atomic<bool> cancel_{false};
};

} // namespace

SimDeviceIo::SimDeviceIo(std::shared_ptr<Bus> bus)
    : bus_(std::move(bus)), handlerLock_(std::make_shared<std::mutex>()),
      handler_(std::make_shared<EventHandler>()) {
    auto lock = handlerLock_;
    auto handler = handler_;
    subscription_ =
        bus_->Subscribe([lock, handler](port::DeviceEvent event, const std::string& path) {
            EventHandler call;
            {
                std::lock_guard<std::mutex> guard(*lock);
                call = *handler;
            }
            if (call)
                call(event, path);
        });
}

SimDeviceIo::~SimDeviceIo() {
    bus_->Unsubscribe(subscription_);
}

bool SimDeviceIo::InterfaceMember(const std::string& interfaceClass, uint32_t memberIndex,
                                  std::string& path) {
    std::string wanted = Lower(interfaceClass);
    if (!wanted.empty() && wanted.front() != '{')
        wanted = "{" + wanted + "}";
    if (wanted != port::kWriterInterfaceClass)
        return false;
    auto writer = bus_->WriterAt(memberIndex);
    if (!writer || !writer->Plugged())
        return false;
    path = writer->InterfacePath();
    return true;
}

std::unique_ptr<port::DeviceHandle> SimDeviceIo::Open(const std::string& path) {
    std::string device = Lower(path);
    Pipe pipe = Pipe::None;
    if (EndsWith(device, "\\pipe00")) {
        pipe = Pipe::In;
        device.resize(device.size() - 7);
    } else if (EndsWith(device, "\\pipe01")) {
        pipe = Pipe::Out;
        device.resize(device.size() - 7);
    }
    auto writer = bus_->WriterByPath(device);
    if (!writer || !writer->Plugged())
        return nullptr;
    return std::make_unique<SimHandle>(bus_, writer, pipe);
}

void SimDeviceIo::SetEventHandler(EventHandler handler) {
    std::lock_guard<std::mutex> guard(*handlerLock_);
    *handler_ = std::move(handler);
}

std::shared_ptr<Bus> MakeBus(const std::string& stateFile, port::Clock& clock, bool keep) {
    auto bus = std::make_shared<Bus>(clock, stateFile.empty() ? Bus::NewIdentity()
                                                              : Bus::IdentityOf(stateFile));
    std::vector<SavedWriter> saved;
    bool exists = false;
    std::string error;
    WireSettings wire;
    if (!stateFile.empty() && !ReadStateFile(stateFile, saved, exists, error, &wire))
        throw std::runtime_error(error);
    bus->SetWireSettings(wire);
    if (!keep && !exists)
        throw std::runtime_error("There is no simulator state file \"" + stateFile + "\"");
    if (saved.empty() && !exists) {
        bus->AddWriterWithChips();
    } else {
        for (const auto& entry : saved) {
            auto writer = bus->AddWriter(entry.config);
            if (!writer)
                throw std::runtime_error(
                    "The simulator state file \"" + stateFile + "\" cannot be used: member " +
                    std::to_string(entry.config.member) +
                    " is listed twice, above 99 or with the path of another writer");
            writer->Restore(entry.state);
            if (!entry.plugged)
                writer->SetPlugged(false);
        }
    }
    if (keep && !stateFile.empty() &&
        !bus->KeepStateIn(stateFile, error, exists ? &saved : nullptr))
        throw std::runtime_error(error);
    return bus;
}

std::shared_ptr<Bus> MakeBackendBus(const std::string& argument) {
    auto bus = MakeBus(argument);
    if (const char* wire = std::getenv("BURNWRIGHT_SIM_WIRE"); wire && *wire) {
        WireSettings settings;
        std::string error;
        if (!ParseWireSettings(wire, settings, error))
            throw std::runtime_error("BURNWRIGHT_SIM_WIRE: " + error);
        bus->SetWireSettings(settings, false);
    }
    if (const char* capture = std::getenv("BURNWRIGHT_SIM_CAPTURE"); capture && *capture) {
        std::string error;
        if (!bus->StartCapture(capture, error))
            throw std::runtime_error(error);
    }
    return bus;
}

void RegisterDeviceIoBackend() {
    port::RegisterDeviceIoBackend("sim-direct", [](const std::string& argument) {
        return std::make_unique<SimDeviceIo>(MakeBackendBus(argument));
    });
}

void RegisterDeviceIoBackend(std::shared_ptr<Bus> bus) {
    port::RegisterDeviceIoBackend("sim-direct",
                                  [bus](const std::string&) -> std::unique_ptr<port::DeviceIo> {
                                      return std::make_unique<SimDeviceIo>(bus);
                                  });
}

} // namespace sim
