#include "sim/StateFile.h"

#include "port/DurableFile.h"
#include "sim/StateFormat.h"
#include "sim/StateParse.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

namespace sim {
namespace {

const char* const kMagic = "burnwright-sim-state";

// A state file read in pieces from an open stream.
class StreamSource : public StateSource {
public:
    explicit StreamSource(std::ifstream& in) : in_(in) {}
    bool Read(char* data, size_t length, size_t& got) override {
        in_.read(data, std::streamsize(length));
        got = size_t(in_.gcount());
        return !in_.bad();
    }
    bool Rewind() override {
        in_.clear();
        in_.seekg(0);
        return bool(in_);
    }

private:
    std::ifstream& in_;
};

} // namespace

bool SameKeptState(const SavedWriter& a, const SavedWriter& b) {
    const WriterConfig &ca = a.config, &cb = b.config;
    const WriterState &sa = a.state, &sb = b.state;
    const FirmwareModel &fa = sa.firmware, &fb = sb.firmware;
    if (a.plugged != b.plugged || ca.member != cb.member || ca.vendorId != cb.vendorId ||
        ca.productId != cb.productId || ca.instance != cb.instance ||
        ca.deviceType != cb.deviceType || ca.serial != cb.serial || sa.info != sb.info ||
        sa.otpInfoVariant != sb.otpInfoVariant || sa.passCount != sb.passCount ||
        sa.failCount != sb.failCount || sa.mask != sb.mask || fa.version != fb.version ||
        fa.appSize != fb.appSize || fa.appCheckSum != fb.appCheckSum ||
        fa.bootCheckSum != fb.bootCheckSum || fa.appValid != fb.appValid ||
        fa.bootValid != fb.bootValid || fa.inBootLoader != fb.inBootLoader)
        return false;
    for (int i = 0; i < kSocketCount; ++i) {
        const SocketModel &x = sa.sockets[i], &y = sb.sockets[i];
        if (!x.buffer.SameBytesAs(y.buffer) && x.buffer.Bytes() != y.buffer.Bytes())
            return false;
        if (x.chip.has_value() != y.chip.has_value())
            return false;
        if (!x.chip)
            continue;
        const Chip &p = *x.chip, &q = *y.chip;
        if (p.Fixed() != q.Fixed() || p.IhrcTrims() != q.IhrcTrims() ||
            p.LvdTrims() != q.LvdTrims() || p.LastBodyCode() != q.LastBodyCode() ||
            (!p.SameContentsAs(q) && p.Contents() != q.Contents()))
            return false;
    }
    return true;
}

std::string FormatState(const std::vector<SavedWriter>& writers, const WireSettings* wire) {
    std::string text;
    StateWriter out([&text](std::string_view piece) {
        text.append(piece);
        return true;
    });
    out.Begin(wire);
    for (const auto& w : writers)
        out.Writer(w);
    out.End();
    return text;
}

bool ParseState(const std::string& text, std::vector<SavedWriter>& writers, std::string& error,
                WireSettings* wire) {
    const ParseOutcome outcome = ParseStateText(text, &writers, nullptr, wire);
    if (!outcome.ok)
        error = outcome.error;
    return outcome.ok;
}

namespace {

std::string UniqueSuffix() {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(generator()));
    return text;
}

} // namespace

bool WriteStateFile(const std::string& path, const std::vector<SavedWriter>& writers,
                    std::string& error, const WireSettings* wire) {
    namespace fs = std::filesystem;
    std::error_code code;
    // A link is followed: its target takes the new state and the link stays.
    fs::path target = path;
    if (fs::is_symlink(target, code)) {
        target = fs::weakly_canonical(target, code);
        if (code) {
            error =
                "Cannot follow the simulator state file link \"" + path + "\": " + code.message();
            return false;
        }
    }
    const fs::file_status old = fs::status(target, code);
    const bool exists = fs::exists(old);
    constexpr fs::perms kWrite =
        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    if (exists && (old.permissions() & kWrite) == fs::perms::none) {
        error = "The simulator state file \"" + target.string() +
                "\" is read-only; it was left as it is. Make it writable to keep changes.";
        return false;
    }
    const std::string text = FormatState(writers, wire);
    // Several programs may keep one state file: each writes a temporary of
    // its own, so one's rename never takes away another's file.
    const std::string temporary = target.string() + ".new." + UniqueSuffix();
    std::string why;
    if (!port::WriteFileDurably(temporary, text, why)) {
        fs::remove(temporary, code);
        error = "Cannot write the simulator state file \"" + temporary + "\": " + why;
        return false;
    }
    if (exists)
        fs::permissions(temporary, old.permissions(), code);
    fs::rename(temporary, target, code);
    if (code) {
        error = "Cannot replace the simulator state file \"" + target.string() +
                "\": " + code.message();
        fs::remove(temporary, code);
        return false;
    }
    return true;
}

bool ReadStateFile(const std::string& path, std::vector<SavedWriter>& writers, bool& exists,
                   std::string& error, WireSettings* wire) {
    writers.clear();
    std::error_code code;
    exists = std::filesystem::exists(path, code);
    if (!exists)
        return true;
    auto refuse = [&](const std::string& why) {
        error = "The simulator state file \"" + path + "\" cannot be used (" + why +
                "). It was left as it is; move it away or repair it to start afresh.";
        return false;
    };
    // A FIFO or a device would block the open or the read for ever.
    if (!std::filesystem::is_regular_file(path, code))
        return refuse("it is not a regular file");
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "Cannot read the simulator state file \"" + path + "\": " + std::strerror(errno);
        return false;
    }
    // What cannot be a state file is refused before it is read whole.
    std::string head(std::strlen(kMagic), '\0');
    in.read(head.data(), std::streamsize(head.size()));
    head.resize(size_t(in.gcount()));
    if (head.empty())
        return refuse("line 1: the file is empty");
    if (head != kMagic)
        return refuse("line 1: not a simulator state file");
    const uint64_t size = std::filesystem::file_size(path, code);
    if (code || size > kMaxStateFileBytes)
        return refuse("it is larger than " + std::to_string(kMaxStateFileBytes) +
                      " bytes, more than any bus of writers keeps");
    StreamSource source(in);
    const ParseOutcome outcome = ParseStateFrom(source, &writers, nullptr, wire);
    if (outcome.readFailed) {
        error = "Cannot read the simulator state file \"" + path + "\": " + std::strerror(errno);
        return false;
    }
    if (!outcome.ok)
        return refuse(outcome.error);
    return true;
}

} // namespace sim
