// A device backend that hands every transfer to another one through a gate
// the test controls. While the gate is closed a transfer waits at it, so a
// test can act at exactly that moment of an action (click, unplug, look at
// the controls) and then let it go on, one transfer at a time or all.
#pragma once

#include "port/DeviceIo.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace apptest {

class TransferGate {
public:
    // Open at first.
    void Close();
    void Open();
    // Lets `transfers` more transfers through; the gate stays closed.
    void Let(int transfers);
    // Transfers waiting at the gate now.
    int Waiting();
    // Transfers still let through by Let and not yet taken.
    int Allowance();
    // A transfer waits at the closed gate, and nothing let through is still
    // on its way: the holder can go no further until the gate lets it.
    bool Holding();
    bool IsOpen();
    uint64_t Passed();
    // The thread of the transfer waiting now (none when none waits).
    std::thread::id Waiter();

    // Device side: returns when the transfer may go on.
    void Pass();

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool open_ = true;
    int allowance_ = 0;
    int waiting_ = 0;
    uint64_t passed_ = 0;
    std::thread::id waiter_;
};

class GatedDeviceIo : public port::DeviceIo {
public:
    GatedDeviceIo(std::unique_ptr<port::DeviceIo> inner, std::shared_ptr<TransferGate> gate);

    std::string Name() const override { return inner_->Name(); }
    bool InterfaceMember(const std::string& interfaceClass, uint32_t memberIndex,
                         std::string& path) override;
    std::unique_ptr<port::DeviceHandle> Open(const std::string& path) override;
    void SetEventHandler(EventHandler handler) override;
    port::DeviceIo& Inner() { return *inner_; }

private:
    std::unique_ptr<port::DeviceIo> inner_;
    std::shared_ptr<TransferGate> gate_;
};

} // namespace apptest
