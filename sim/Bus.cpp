#include "sim/Bus.h"

#include "port/FileRewrite.h"
#include "sim/StateFile.h"
#include "sim/StateFormat.h"
#include "sim/StateParse.h"

#include <algorithm>
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

bool Bus::KeepStateIn(const std::string& path, std::string& error,
                      const std::vector<SavedWriter>* onFile) {
    std::vector<SavedWriter> now;
    for (const auto& writer : Writers())
        now.push_back({writer->Config(), writer->Snapshot(), writer->Plugged()});
    {
        std::lock_guard<std::mutex> guard(stateMutex_);
        statePath_ = path;
        // A bus made from the file as it is needs no write until it changes.
        bool same = onFile && onFile->size() == now.size();
        for (size_t i = 0; same && i < now.size(); ++i)
            same = SameKeptState((*onFile)[i], now[i]);
        if (same) {
            RememberSaved(now);
            return true;
        }
    }
    return SaveState(error);
}

bool Bus::ChangedSinceSaved(const std::vector<SavedWriter>& now) const {
    if (!saved_ || !(keptWire_ == savedWire_))
        return true;
    for (uint32_t member : touched_) {
        const SavedWriter* current = nullptr;
        for (const auto& entry : now)
            if (entry.config.member == member)
                current = &entry;
        const auto last = lastSaved_.find(member);
        if (!current && last == lastSaved_.end())
            continue;
        if (!current || last == lastSaved_.end() || !SameKeptState(*current, last->second))
            return true;
    }
    return false;
}

void Bus::RememberSaved(const std::vector<SavedWriter>& now) {
    lastSaved_.clear();
    for (const auto& entry : now)
        lastSaved_[entry.config.member] = entry;
    savedWire_ = keptWire_;
    saved_ = true;
}

namespace {

bool EndsWith(port::RewriteInput& in, const std::string& line) {
    if (line.empty() || in.Size() < line.size())
        return false;
    std::string last(line.size(), '\0');
    return in.ReadAt(in.Size() - line.size(), last.data(), last.size()) && last == line;
}

// The state file under its lock, read in pieces.
class LockedSource : public StateSource {
public:
    explicit LockedSource(port::RewriteInput& in) : in_(in) {}
    bool Read(char* data, size_t length, size_t& got) override {
        got = size_t(std::min<uint64_t>(length, in_.Size() - at_));
        if (!in_.ReadAt(at_, data, got))
            return false;
        at_ += got;
        return true;
    }
    bool Rewind() override {
        at_ = 0;
        return true;
    }

private:
    port::RewriteInput& in_;
    uint64_t at_ = 0;
};

} // namespace

bool Bus::SaveState(std::string& error) {
    std::lock_guard<std::mutex> guard(stateMutex_);
    if (statePath_.empty()) {
        error = "No state file is set";
        return false;
    }
    std::vector<SavedWriter> saved;
    for (const auto& writer : Writers())
        saved.push_back({writer->Config(), writer->Snapshot(), writer->Plugged()});
    // A change of nothing the file keeps (a socket state, a step that left
    // every chip as it was) writes nothing.
    if (!ChangedSinceSaved(saved)) {
        RememberSaved(saved);
        saveError_.clear();
        return true;
    }
    // Other processes may run other writers of the same file: under the file's
    // lock, their writers are copied as the file holds them now, and only the
    // writers this bus changed are written from here. A file as this bus last
    // left it is not read again: where everything lies in it is known, and
    // data lines of arrays that did not change are copied from it.
    std::map<uint32_t, TextSpan> sections;
    DataLines dataLines;
    std::string identity;
    std::string endLine;
    const bool merged = port::RewriteExclusivelyInPieces(
        statePath_,
        [&](port::RewriteInput& in, port::RewriteOutput& out) {
            // The identity (device, file number, size, time) can repeat when a
            // file system reuses file numbers within one tick of its clock;
            // the end line, a sum of the whole text, tells such files apart.
            const bool known = !fileIdentity_.empty() && in.Identity() == fileIdentity_ &&
                               EndsWith(in, fileEndLine_);
            std::map<uint32_t, TextSpan> onFile;
            bool readable = known;
            if (known) {
                onFile = fileSections_;
            } else if (in.Size() > 0) {
                LockedSource source(in);
                std::vector<WriterSection> found;
                readable = ParseStateFrom(source, nullptr, &found).ok;
                for (const auto& section : found)
                    onFile[section.member] = {section.begin, section.end};
            }
            auto read = [&in](uint64_t at, char* data, size_t length) {
                return in.ReadAt(at, data, length);
            };
            StateWriter writer([&out](std::string_view piece) { return out.Write(piece); });
            if (known)
                writer.ReuseFrom(read, fileDataLines_);
            writer.Begin(&keptWire_);
            std::map<uint32_t, const SavedWriter*> mine;
            for (const auto& entry : saved)
                if (!readable || touched_.count(entry.config.member) != 0)
                    mine[entry.config.member] = &entry;
            std::set<uint32_t> members;
            for (const auto& entry : mine)
                members.insert(entry.first);
            if (readable)
                for (const auto& entry : onFile)
                    if (touched_.count(entry.first) == 0)
                        members.insert(entry.first);
            bool copied = true;
            for (uint32_t member : members) {
                const uint64_t begin = writer.Offset();
                if (mine.count(member)) {
                    writer.Writer(*mine[member]);
                } else {
                    std::string piece;
                    const TextSpan& span = onFile[member];
                    for (uint64_t at = span.begin; at < span.end && copied; at += piece.size()) {
                        piece.resize(size_t(std::min<uint64_t>(span.end - at, 1 << 20)));
                        copied = in.ReadAt(at, piece.data(), piece.size());
                        if (copied)
                            writer.Copy(piece);
                    }
                }
                sections[member] = {begin, writer.Offset()};
            }
            const bool whole = writer.End() && copied && writer.Copied();
            endLine = writer.EndLine();
            dataLines = writer.Written();
            return whole ? port::Edit::Write : port::Edit::Failed;
        },
        &identity);
    if (merged) {
        fileIdentity_ = identity;
        fileSections_ = std::move(sections);
        fileDataLines_ = std::move(dataLines);
        fileWriters_ = saved;
        fileEndLine_ = endLine;
        RememberSaved(saved);
        saveError_.clear();
        return true;
    }
    // Written whole from this bus; a file that cannot be replaced gets its reason.
    fileIdentity_.clear();
    fileDataLines_.clear();
    fileWriters_.clear();
    const bool ok = WriteStateFile(statePath_, saved, error, &keptWire_);
    saveError_ = ok ? std::string() : error;
    if (ok)
        RememberSaved(saved);
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
