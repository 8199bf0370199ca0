#include "sim/Bus.h"

#include "port/FileRewrite.h"
#include "sim/StateFile.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>

namespace sim {
namespace {

std::string Lower(std::string text) {
    for (auto& c : text)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return text;
}

constexpr uint32_t kMemberLimit = 100;
constexpr uint32_t kIdentityMask = 0x0FFFFFFF;

} // namespace

uint32_t Bus::NewIdentity() {
    std::random_device random;
    return random() & kIdentityMask;
}

uint32_t Bus::IdentityOf(const std::string& stateFile) {
    std::error_code code;
    std::filesystem::path path = std::filesystem::absolute(stateFile, code);
    const std::filesystem::path canonical = std::filesystem::weakly_canonical(path, code);
    if (!code)
        path = canonical;
    uint32_t hash = 2166136261u;
    for (unsigned char c : path.string()) {
        hash ^= c;
        hash *= 16777619u;
    }
    return hash & kIdentityMask;
}

Bus::Bus(port::Clock& clock, uint32_t identity)
    : clock_(clock), identity_(identity & kIdentityMask),
      wallBaseMs_(uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count())),
      clockBaseMs_(clock.NowMs()), wire_(clock) {}

void Bus::SetWireSettings(const WireSettings& settings, bool keep) {
    wire_.Configure(settings);
    if (!keep)
        return;
    {
        std::lock_guard<std::mutex> guard(stateMutex_);
        keptWire_ = settings;
    }
    Changed(std::nullopt);
}

Bus::~Bus() {
    for (auto& entry : writers_)
        entry.second->SetHooks({});
}

void Bus::Attach(const std::shared_ptr<Writer>& writer) {
    // The bus clears these hooks before it goes, so `this` outlives them.
    Writer::Hooks hooks;
    hooks.removedByFault = [this](Writer& w) {
        Changed(w.Member());
        Notify(port::DeviceEvent::Removal, w.InterfacePath());
    };
    hooks.changed = [this](Writer& w) { Changed(w.Member()); };
    hooks.wire = [this](Writer& w, size_t bytes, size_t stepBytes) {
        wire_.Carry(w.Member(), bytes, stepBytes);
    };
    hooks.transfer = [this](const TransferRecord& record) {
        TransferRecord r = record;
        r.timeMs = wallBaseMs_ + (record.timeMs - clockBaseMs_);
        capture_.Record(r);
    };
    writer->SetHooks(std::move(hooks));
}

std::shared_ptr<Writer> Bus::AddWriter(WriterConfig config) {
    std::shared_ptr<Writer> writer;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (config.member == WriterConfig::kAutoMember) {
            config.member = 0;
            while (writers_.count(config.member))
                ++config.member;
        }
        if (config.member >= kMemberLimit || writers_.count(config.member))
            return nullptr;
        if (config.serial == WriterConfig::kAutoSerial)
            config.serial = (identity_ & 0x00FFFFFF) << 8 | (config.member + 1);
        writer = std::make_shared<Writer>(config, clock_, identity_);
        // Two writers with one interface path could not be told apart.
        for (const auto& entry : writers_)
            if (entry.second->InterfacePath() == writer->InterfacePath())
                return nullptr;
        writers_[config.member] = writer;
    }
    Attach(writer);
    Changed(config.member);
    Notify(port::DeviceEvent::Arrival, writer->InterfacePath());
    return writer;
}

std::shared_ptr<Writer> Bus::AddWriterWithChips(WriterConfig config) {
    auto writer = AddWriter(std::move(config));
    if (writer)
        for (int i = 0; i < kSocketCount; ++i)
            writer->InsertChip(i);
    return writer;
}

std::shared_ptr<Writer> Bus::WriterAt(uint32_t member) const {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = writers_.find(member);
    return it == writers_.end() ? nullptr : it->second;
}

std::shared_ptr<Writer> Bus::WriterByPath(const std::string& interfacePath) const {
    const std::string wanted = Lower(interfacePath);
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto& entry : writers_)
        if (entry.second->InterfacePath() == wanted)
            return entry.second;
    return nullptr;
}

std::vector<std::shared_ptr<Writer>> Bus::Writers() const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::shared_ptr<Writer>> all;
    for (const auto& entry : writers_)
        all.push_back(entry.second);
    return all;
}

bool Bus::RemoveWriter(uint32_t member) {
    std::shared_ptr<Writer> writer;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = writers_.find(member);
        if (it == writers_.end())
            return false;
        writer = it->second;
        writers_.erase(it);
    }
    const bool wasPlugged = writer->Plugged();
    writer->SetPlugged(false);
    writer->SetHooks({});
    Changed(member);
    if (wasPlugged)
        Notify(port::DeviceEvent::Removal, writer->InterfacePath());
    return true;
}

bool Bus::Plug(uint32_t member) {
    auto writer = WriterAt(member);
    if (!writer || writer->Plugged())
        return false;
    writer->SetPlugged(true);
    Changed(member);
    Notify(port::DeviceEvent::Arrival, writer->InterfacePath());
    return true;
}

bool Bus::Unplug(uint32_t member) {
    auto writer = WriterAt(member);
    if (!writer || !writer->Plugged())
        return false;
    writer->SetPlugged(false);
    Changed(member);
    Notify(port::DeviceEvent::Removal, writer->InterfacePath());
    return true;
}

uint64_t Bus::Subscribe(Listener listener) {
    std::lock_guard<std::mutex> guard(mutex_);
    const uint64_t id = nextListener_++;
    listeners_[id] = std::move(listener);
    return id;
}

void Bus::Unsubscribe(uint64_t id) {
    std::lock_guard<std::mutex> guard(mutex_);
    listeners_.erase(id);
}

void Bus::Notify(port::DeviceEvent event, const std::string& path) {
    std::vector<Listener> listeners;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        for (const auto& entry : listeners_)
            listeners.push_back(entry.second);
    }
    for (const auto& listener : listeners)
        listener(event, path);
}

bool Bus::StartCapture(const std::string& path, std::string& error) {
    return capture_.Open(path, error);
}

void Bus::StopCapture() {
    capture_.Close();
}

bool Bus::KeepStateIn(const std::string& path, std::string& error) {
    {
        std::lock_guard<std::mutex> guard(stateMutex_);
        statePath_ = path;
    }
    return SaveState(error);
}

bool Bus::SaveState(std::string& error) {
    std::lock_guard<std::mutex> guard(stateMutex_);
    if (statePath_.empty()) {
        error = "No state file is set";
        return false;
    }
    std::vector<SavedWriter> saved;
    for (const auto& writer : Writers())
        saved.push_back({writer->Config(), writer->Snapshot(), writer->Plugged()});
    // Other processes may run other writers of the same file: under the file's
    // lock, their writers are taken as the file holds them now, and only the
    // writers this bus changed are written from here.
    const bool merged = port::RewriteExclusively(statePath_, [&](std::string& text) {
        std::vector<SavedWriter> onFile;
        std::string why;
        if (text.empty() || !ParseState(text, onFile, why)) {
            text = FormatState(saved, &keptWire_);
            return port::Edit::Write;
        }
        std::map<uint32_t, SavedWriter> members;
        for (auto& entry : onFile)
            if (touched_.count(entry.config.member) == 0)
                members[entry.config.member] = std::move(entry);
        for (const auto& entry : saved)
            if (touched_.count(entry.config.member) != 0)
                members[entry.config.member] = entry;
        std::vector<SavedWriter> all;
        for (auto& entry : members)
            all.push_back(std::move(entry.second));
        text = FormatState(all, &keptWire_);
        return port::Edit::Write;
    });
    if (merged) {
        saveError_.clear();
        return true;
    }
    // Written whole from this bus; a file that cannot be replaced gets its reason.
    const bool ok = WriteStateFile(statePath_, saved, error, &keptWire_);
    saveError_ = ok ? std::string() : error;
    return ok;
}

std::string Bus::LastSaveError() const {
    std::lock_guard<std::mutex> guard(stateMutex_);
    return saveError_;
}

void Bus::Changed(std::optional<uint32_t> member) {
    {
        std::lock_guard<std::mutex> guard(stateMutex_);
        if (statePath_.empty())
            return;
        if (member)
            touched_.insert(*member);
    }
    // A failed save keeps the last complete file; say so once per reason.
    std::string error;
    const std::string before = LastSaveError();
    if (!SaveState(error) && error != before)
        std::fprintf(stderr, "burnwright sim: %s\n", error.c_str());
}

} // namespace sim
