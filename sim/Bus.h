// The simulated USB bus: the writers present (member indexes may have gaps),
// plugging and unplugging them with arrival and removal events, a capture of
// every transfer, and the state file that keeps the writers between runs.
#pragma once

#include "port/Clock.h"
#include "port/DeviceIo.h"
#include "sim/Capture.h"
#include "sim/StateFile.h"
#include "sim/StateFormat.h"
#include "sim/WireModel.h"
#include "sim/Writer.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sim {

class Bus {
public:
    // `identity` tells this bus's writers from those of other buses: it goes
    // into the instance part of their paths and their serial numbers.
    explicit Bus(port::Clock& clock = port::SystemClock(), uint32_t identity = NewIdentity());
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    port::Clock& Clock() { return clock_; }
    // The full-speed timing of the bus's transfers (off unless switched on).
    WireModel& Wire() { return wire_; }
    const WireModel& Wire() const { return wire_; }
    // Switches the timing on or off. With `keep`, a bus kept in a state file
    // keeps the setting there; without, it holds for this run only.
    void SetWireSettings(const WireSettings& settings, bool keep = true);
    uint32_t Identity() const { return identity_; }
    // A fresh random identity (28 bits).
    static uint32_t NewIdentity();
    // The identity of the bus kept in `stateFile`: the same for every path
    // that names the same file, so every program on that file sees the same
    // writer paths.
    static uint32_t IdentityOf(const std::string& stateFile);

    // Adds a plugged-in writer. With the default member, the first free index
    // is taken; with the automatic serial number, one made of the bus's
    // identity and the member. Null when the member index is taken or above 99, or another
    // writer has the same interface path.
    std::shared_ptr<Writer> AddWriter(WriterConfig config = {});
    // A writer with all 16 sockets holding blank chips that take the body's size.
    std::shared_ptr<Writer> AddWriterWithChips(WriterConfig config = {});
    std::shared_ptr<Writer> WriterAt(uint32_t member) const;
    std::shared_ptr<Writer> WriterByPath(const std::string& interfacePath) const;
    std::vector<std::shared_ptr<Writer>> Writers() const;
    // Takes the writer off the bus for good (a removal event when it was plugged).
    bool RemoveWriter(uint32_t member);

    // Plugging sends an arrival event, unplugging a removal event; both are
    // delivered on the calling thread, after the bus lock is released.
    bool Plug(uint32_t member);
    bool Unplug(uint32_t member);

    using Listener = std::function<void(port::DeviceEvent, const std::string& interfacePath)>;
    uint64_t Subscribe(Listener listener);
    void Unsubscribe(uint64_t id);

    // Records every transfer from now on into a pcap file.
    bool StartCapture(const std::string& path, std::string& error);
    void StopCapture();

    // Writes the bus to `path` after every change that it keeps. `onFile`
    // is what the file holds now, when the caller read it: a bus that holds
    // the same is not written until it changes. Otherwise the first write
    // happens at once. False with `error` set when it cannot.
    bool KeepStateIn(const std::string& path, std::string& error,
                     const std::vector<SavedWriter>* onFile = nullptr);
    // Saves now; false with the reason in `error`.
    bool SaveState(std::string& error);
    // The last error from saving after a change (empty when none).
    std::string LastSaveError() const;

private:
    void Notify(port::DeviceEvent event, const std::string& path);
    void Attach(const std::shared_ptr<Writer>& writer);
    // Saves after a change; `member` names the writer changed (none: the bus's
    // own settings), which from then on this bus writes to the state file.
    void Changed(std::optional<uint32_t> member);
    // Whether a writer this bus writes holds other than when last saved.
    bool ChangedSinceSaved(const std::vector<SavedWriter>& now) const;
    void RememberSaved(const std::vector<SavedWriter>& now);

    port::Clock& clock_;
    uint32_t identity_;
    uint64_t wallBaseMs_;
    uint64_t clockBaseMs_;
    mutable std::mutex mutex_;
    std::map<uint32_t, std::shared_ptr<Writer>> writers_;
    std::map<uint64_t, Listener> listeners_;
    uint64_t nextListener_ = 1;
    Capture capture_;
    WireModel wire_;
    WireSettings keptWire_; // guarded by stateMutex_
    mutable std::mutex stateMutex_;
    std::string statePath_;
    std::string saveError_;
    std::set<uint32_t> touched_; // writers changed here since the file was kept
    // What the file held of each writer after this bus last wrote or read it
    // (sharing the writers' bytes), and the wire settings it held.
    bool saved_ = false;
    std::map<uint32_t, SavedWriter> lastSaved_;
    WireSettings savedWire_;
    // The file as this bus last wrote it (empty: not known): its identity,
    // where each writer lies in it and where the data lines of each array
    // do, so the next save copies what did not change. The data lines name
    // arrays by address: fileWriters_ keeps those arrays alive, so no other
    // array can take an address they name, and changing one copies it first.
    std::string fileIdentity_;
    std::map<uint32_t, TextSpan> fileSections_;
    DataLines fileDataLines_;
    std::vector<SavedWriter> fileWriters_;
    std::string fileEndLine_;
};

} // namespace sim
