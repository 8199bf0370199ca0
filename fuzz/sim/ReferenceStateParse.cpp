// The state file reader as it was before it read in pieces, kept as the
// oracle of the fuzz target: files of versions 1 and 2 must be accepted and
// refused exactly as this reader accepts and refuses them, for the same
// reasons, and read into the same writers.
#include "fuzz/sim/ReferenceStateParse.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string_view>

namespace fuzzref {

using namespace sim;

namespace {

const char* const kMagic = "burnwright-sim-state";
constexpr int kReferenceVersion = 2;

uint32_t Fnv1a(std::string_view text) {
    uint32_t hash = 2166136261u;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 16777619u;
    }
    return hash;
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

bool ReferenceParseState(const std::string& text, std::vector<sim::SavedWriter>& writers,
                         std::string& error, sim::WireSettings* wire) {
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
        if (version < kOldestStateFileVersion || version > kReferenceVersion)
            return fail("state file version " + std::to_string(version) + " is not a version (" +
                        std::to_string(kOldestStateFileVersion) + " to " +
                        std::to_string(kReferenceVersion) + ") this program reads");
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
            if (version < kOldestStateFileVersion || version > kReferenceVersion)
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

} // namespace fuzzref
