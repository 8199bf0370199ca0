#include "sim/StateFile.h"

#include "port/DurableFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string_view>

namespace sim {
namespace {

const char* const kMagic = "burnwright-sim-state";
constexpr size_t kBytesPerLine = 64;

uint32_t Fnv1a(std::string_view text) {
    uint32_t hash = 2166136261u;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 16777619u;
    }
    return hash;
}

std::string Hex(const uint8_t* data, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * length);
    for (size_t i = 0; i < length; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 15]);
    }
    return out;
}

// Lines "<tag> <offset> <hex>" for every run of bytes that are not blank.
void Runs(std::ostringstream& out, const char* tag, const std::vector<uint8_t>& bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        if (bytes[i] == kBlankByte) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < bytes.size() && end - i < kBytesPerLine && bytes[end] != kBlankByte)
            ++end;
        out << tag << ' ' << i << ' ' << Hex(bytes.data() + i, end - i) << '\n';
        i = end;
    }
}

// "key=value" words of a line after its tag.
std::map<std::string, std::string> Fields(std::istringstream& words) {
    std::map<std::string, std::string> fields;
    std::string word;
    while (words >> word) {
        const auto eq = word.find('=');
        if (eq != std::string::npos)
            fields[word.substr(0, eq)] = word.substr(eq + 1);
    }
    return fields;
}

struct Reader {
    explicit Reader(std::map<std::string, std::string> f) : fields(std::move(f)) {}
    std::map<std::string, std::string> fields;
    bool ok = true;
    std::string missing;

    uint64_t Number(const std::string& key, int base = 10, uint64_t limit = UINT32_MAX) {
        auto it = fields.find(key);
        if (it == fields.end() || it->second.empty()) {
            ok = false;
            missing = key;
            return 0;
        }
        char* end = nullptr;
        errno = 0;
        const unsigned long long value = std::strtoull(it->second.c_str(), &end, base);
        if (*end != '\0' || errno || value > limit) {
            ok = false;
            missing = key;
            return 0;
        }
        return value;
    }
};

bool Unhex(const std::string& text, std::vector<uint8_t>& out) {
    if (text.size() % 2)
        return false;
    out.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        auto digit = [](char c) -> int {
            if (c >= '0' && c <= '9')
                return c - '0';
            if (c >= 'a' && c <= 'f')
                return c - 'a' + 10;
            if (c >= 'A' && c <= 'F')
                return c - 'A' + 10;
            return -1;
        };
        const int hi = digit(text[i]), lo = digit(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out.push_back(uint8_t(hi << 4 | lo));
    }
    return true;
}

} // namespace

std::string FormatState(const std::vector<SavedWriter>& writers, const WireSettings* wire) {
    std::ostringstream out;
    out << kMagic << ' ' << kStateFileVersion << '\n';
    if (wire && wire->on)
        out << "wire " << FormatWireSettings(*wire) << '\n';
    for (const auto& w : writers) {
        const WriterConfig& c = w.config;
        const WriterState& s = w.state;
        const FirmwareModel& f = s.firmware;
        out << "writer member=" << c.member << " vid=" << c.vendorId << " pid=" << c.productId
            << " type=" << unsigned(c.deviceType) << " serial=" << c.serial
            << " plugged=" << (w.plugged ? 1 : 0) << " instance=" << c.instance << '\n';
        out << "firmware version=";
        for (size_t i = 0; i < f.version.size(); ++i)
            out << (i ? "," : "") << f.version[i];
        out << " appsize=" << f.appSize << " appsum=" << f.appCheckSum
            << " bootsum=" << f.bootCheckSum << " app=" << f.appValid << " boot=" << f.bootValid
            << " bootloader=" << f.inBootLoader << '\n';
        out << "counters pass=" << s.passCount << " fail=" << s.failCount << " mask=" << s.mask
            << " otpvariant=" << unsigned(s.otpInfoVariant) << '\n';
        if (s.info)
            out << "info " << Hex(s.info->data(), s.info->size()) << '\n';
        for (int i = 0; i < kSocketCount; ++i) {
            const SocketModel& socket = s.sockets[i];
            const auto& buffer = socket.buffer.Bytes();
            if (!socket.chip && buffer.empty())
                continue;
            // A buffer shared with an earlier socket (loaded together) and a
            // chip holding what an earlier one holds are written once.
            int sharedBuffer = -1, sameChip = -1;
            for (int k = 0; k < i; ++k) {
                const SocketModel& earlier = s.sockets[k];
                if (sharedBuffer < 0 && !buffer.empty() &&
                    earlier.buffer.SameBytesAs(socket.buffer))
                    sharedBuffer = k;
                if (sameChip < 0 && socket.chip && earlier.chip && !socket.chip->IsBlank() &&
                    earlier.chip->Fixed() == socket.chip->Fixed() &&
                    earlier.chip->Contents() == socket.chip->Contents())
                    sameChip = k;
            }
            out << "socket " << i << " buffer=" << buffer.size();
            if (sharedBuffer >= 0)
                out << " sharesbuffer=" << sharedBuffer;
            if (socket.chip)
                out << " chip=" << socket.chip->Size() << " fixed=" << socket.chip->Fixed()
                    << " ihrc=" << socket.chip->IhrcTrims() << " lvd=" << socket.chip->LvdTrims()
                    << " body=" << unsigned(socket.chip->LastBodyCode());
            if (sameChip >= 0)
                out << " samechip=" << sameChip;
            out << '\n';
            if (sharedBuffer < 0)
                Runs(out, "b", buffer);
            if (socket.chip && sameChip < 0)
                Runs(out, "c", socket.chip->Contents());
        }
    }
    const std::string body = out.str();
    char end[32];
    std::snprintf(end, sizeof end, "end %08x\n", Fnv1a(body));
    return body + end;
}

bool ParseState(const std::string& text, std::vector<SavedWriter>& writers, std::string& error,
                WireSettings* wire) {
    writers.clear();
    WireSettings wireRead;
    std::istringstream lines(text);
    std::string line;
    size_t number = 0;
    size_t consumed = 0;
    bool ended = false;
    SocketModel* socket = nullptr;
    auto fail = [&](const std::string& why) {
        error = "line " + std::to_string(number) + ": " + why;
        writers.clear();
        return false;
    };
    // The version first, then the end line and its check sum, so a file cut
    // short or damaged is named as such before its entries are read.
    {
        std::istringstream head(text.substr(0, text.find('\n')));
        std::string magic;
        int version = 0;
        number = 1;
        if (text.empty())
            return fail("the file is empty");
        if (!(head >> magic >> version) || magic != kMagic)
            return fail("not a simulator state file");
        if (version < kOldestStateFileVersion || version > kStateFileVersion)
            return fail("state file version " + std::to_string(version) + " is not a version (" +
                        std::to_string(kOldestStateFileVersion) + " to " +
                        std::to_string(kStateFileVersion) + ") this program reads");
        const size_t endAt = text.rfind("\nend ");
        if (endAt == std::string::npos)
            return fail("the file ends before its end line: it was cut short");
        number = size_t(std::count(text.begin(), text.begin() + endAt + 1, '\n')) + 1;
        const std::string endLine = text.substr(endAt + 1);
        char expected[32];
        std::snprintf(expected, sizeof expected, "end %08x",
                      Fnv1a(std::string_view(text).substr(0, endAt + 1)));
        if (endLine.rfind(expected, 0) != 0 || endLine.size() > std::strlen(expected) + 1)
            return endLine.find('\n') != std::string::npos &&
                           endLine.find('\n') + 1 < endLine.size()
                       ? fail("text after the end line")
                       : fail("the check sum does not match: the file is damaged");
        number = 0;
    }
    while (std::getline(lines, line)) {
        ++number;
        if (ended)
            return fail("text after the end line");
        std::istringstream words(line);
        std::string tag;
        words >> tag;
        if (number == 1) {
            int version = 0;
            if (tag != kMagic || !(words >> version))
                return fail("not a simulator state file");
            if (version < kOldestStateFileVersion || version > kStateFileVersion)
                return fail("unknown state file version");
        } else if (tag == "end") {
            std::string sum;
            words >> sum;
            char expected[16];
            std::snprintf(expected, sizeof expected, "%08x",
                          Fnv1a(std::string_view(text).substr(0, consumed)));
            if (sum != expected)
                return fail("the check sum does not match: the file is damaged");
            ended = true;
        } else if (tag == "wire") {
            std::string settings, why;
            words >> settings;
            if (!writers.empty() || !ParseWireSettings(settings, wireRead, why))
                return fail(writers.empty() ? why : "the wire line comes after a writer");
        } else if (tag == "writer") {
            // The instance is the rest of the line, whatever it holds.
            const auto at = line.find(" instance=");
            std::istringstream head(line.substr(0, at));
            head >> tag;
            Reader r(Fields(head));
            SavedWriter w;
            w.config.member = uint32_t(r.Number("member"));
            w.config.vendorId = uint16_t(r.Number("vid", 10, 0xFFFF));
            w.config.productId = uint16_t(r.Number("pid", 10, 0xFFFF));
            w.config.deviceType = uint8_t(r.Number("type", 10, 0xFF));
            w.config.serial = uint32_t(r.Number("serial"));
            w.plugged = r.Number("plugged", 10, 1) != 0;
            if (at != std::string::npos)
                w.config.instance = line.substr(at + 10);
            if (!r.ok)
                return fail("bad or missing \"" + r.missing + "\"");
            writers.push_back(std::move(w));
            socket = nullptr;
        } else if (writers.empty()) {
            return fail("\"" + tag + "\" before any writer");
        } else if (tag == "firmware") {
            Reader r(Fields(words));
            FirmwareModel& f = writers.back().state.firmware;
            std::istringstream parts(r.fields["version"]);
            std::string part;
            size_t i = 0;
            while (std::getline(parts, part, ',') && i < f.version.size())
                f.version[i++] = uint16_t(std::strtoul(part.c_str(), nullptr, 10));
            if (i != f.version.size())
                return fail("bad firmware version");
            f.appSize = uint32_t(r.Number("appsize"));
            f.appCheckSum = uint32_t(r.Number("appsum"));
            f.bootCheckSum = uint32_t(r.Number("bootsum"));
            f.appValid = r.Number("app", 10, 1);
            f.bootValid = r.Number("boot", 10, 1);
            f.inBootLoader = r.Number("bootloader", 10, 1);
            if (!r.ok)
                return fail("bad or missing \"" + r.missing + "\"");
        } else if (tag == "counters") {
            Reader r(Fields(words));
            WriterState& s = writers.back().state;
            s.passCount = uint16_t(r.Number("pass", 10, 0xFFFF));
            s.failCount = uint16_t(r.Number("fail", 10, 0xFFFF));
            s.mask = uint16_t(r.Number("mask", 10, 0xFFFF));
            s.otpInfoVariant = uint8_t(r.Number("otpvariant", 10, 0xFF));
            if (!r.ok)
                return fail("bad or missing \"" + r.missing + "\"");
        } else if (tag == "info") {
            std::string hex;
            std::vector<uint8_t> bytes;
            words >> hex;
            if (!Unhex(hex, bytes) || bytes.size() != kInfoBlockSize)
                return fail("the information block is not 192 bytes of hex");
            auto& info = writers.back().state.info.emplace();
            std::copy(bytes.begin(), bytes.end(), info.begin());
        } else if (tag == "socket") {
            int index = -1;
            words >> index;
            if (index < 0 || index >= kSocketCount)
                return fail("bad socket number");
            Reader r(Fields(words));
            auto& sockets = writers.back().state.sockets;
            socket = &sockets[index];
            const size_t bufferSize = r.Number("buffer", 10, kBufferCapacity);
            // An earlier socket of this writer whose buffer or chip this one repeats.
            auto earlier = [&](const char* key) -> SocketModel* {
                if (!r.fields.count(key))
                    return nullptr;
                const auto k = r.Number(key, 10, kSocketCount - 1);
                return r.ok && int(k) < index ? &sockets[k] : socket;
            };
            SocketModel* bufferOf = earlier("sharesbuffer");
            SocketModel* chipOf = earlier("samechip");
            if (bufferOf == socket || chipOf == socket)
                return fail("a socket repeats one that is not before it");
            if (bufferOf) {
                if (bufferOf->buffer.Bytes().size() != bufferSize)
                    return fail("a shared buffer of another size");
                socket->buffer.ShareBytesOf(bufferOf->buffer);
            } else {
                socket->buffer.SetBytes(std::vector<uint8_t>(bufferSize, kBlankByte));
            }
            socket->chip.reset();
            if (r.fields.count("chip")) {
                const size_t size = r.Number("chip", 10, kMaxChipSize);
                Chip chip(r.Number("fixed", 10, 1) ? size : 0);
                if (!chip.Fixed())
                    chip.SetContents(std::vector<uint8_t>(size, kBlankByte));
                chip.SetTrims(uint32_t(r.Number("ihrc")), uint32_t(r.Number("lvd")));
                chip.SetLastBodyCode(uint8_t(r.Number("body", 10, 0xFF)));
                if (chipOf) {
                    if (!chipOf->chip || chipOf->chip->Size() != size)
                        return fail("a repeated chip of another size");
                    chip.MutableContents() = chipOf->chip->Contents();
                }
                socket->chip = std::move(chip);
            }
            if (!r.ok)
                return fail("bad or missing \"" + r.missing + "\"");
        } else if (tag == "b" || tag == "c") {
            size_t offset = 0;
            std::string hex;
            std::vector<uint8_t> bytes;
            if (!socket || !(words >> offset >> hex) || !Unhex(hex, bytes))
                return fail("bad data line");
            if (tag == "b") {
                auto& all = socket->buffer.MutableBytes();
                if (offset > all.size() || bytes.size() > all.size() - offset)
                    return fail("buffer data beyond the buffer size");
                std::copy(bytes.begin(), bytes.end(), all.begin() + offset);
            } else {
                if (!socket->chip || offset > socket->chip->Size() ||
                    bytes.size() > socket->chip->Size() - offset)
                    return fail("chip data beyond the chip");
                std::copy(bytes.begin(), bytes.end(),
                          socket->chip->MutableContents().begin() + offset);
            }
        } else {
            return fail("unknown entry \"" + tag + "\"");
        }
        consumed += line.size() + 1;
    }
    if (number == 0)
        return fail("the file is empty");
    if (!ended)
        return fail("the file ends before its end line: it was cut short");
    if (wire)
        *wire = wireRead;
    return true;
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
    std::string text(size_t(size), '\0');
    in.seekg(0);
    in.read(text.data(), std::streamsize(text.size()));
    text.resize(size_t(in.gcount()));
    std::string why;
    if (!ParseState(text, writers, why, wire))
        return refuse(why);
    return true;
}

} // namespace sim
