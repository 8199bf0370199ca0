#include "sim/StateParse.h"

#include "sim/BodyCodes.h"
#include "sim/StateText.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

namespace sim {
namespace {

using statetext::Words;

const char* const kMagic = "burnwright-sim-state";
constexpr size_t kPiece = 1 << 20;

// The lines of a text in memory (read in place) or of a source (read in
// pieces; a line is whole however long it is).
class Lines {
public:
    explicit Lines(std::string_view text) : text_(text), memory_(true) {}
    explicit Lines(StateSource& source) : source_(&source), buffer_(kPiece) {}

    // The next line without its line break; false at the end, or when the
    // source fails (ReadFailed).
    bool Next(std::string_view& line) {
        start_ = end_;
        if (memory_) {
            if (at_ >= text_.size())
                return false;
            const size_t nl = text_.find('\n', at_);
            hadBreak_ = nl != std::string_view::npos;
            line = text_.substr(at_, (hadBreak_ ? nl : text_.size()) - at_);
            at_ += line.size() + (hadBreak_ ? 1 : 0);
            end_ = at_;
            return true;
        }
        size_t searched = begin_;
        for (;;) {
            const void* nl = std::memchr(buffer_.data() + searched, '\n', filled_ - searched);
            if (nl || (eof_ && begin_ < filled_)) {
                const size_t stop =
                    nl ? size_t(static_cast<const char*>(nl) - buffer_.data()) : filled_;
                hadBreak_ = nl != nullptr;
                line = std::string_view(buffer_.data() + begin_, stop - begin_);
                begin_ = stop + (hadBreak_ ? 1 : 0);
                end_ = start_ + line.size() + (hadBreak_ ? 1 : 0);
                return true;
            }
            if (eof_)
                return false;
            // The line goes on: keep its start, make room and read more.
            const size_t kept = filled_ - begin_;
            std::memmove(buffer_.data(), buffer_.data() + begin_, kept);
            begin_ = 0;
            filled_ = kept;
            searched = kept;
            if (filled_ == buffer_.size())
                buffer_.resize(2 * buffer_.size());
            size_t got = 0;
            if (!source_->Read(buffer_.data() + filled_, buffer_.size() - filled_, got)) {
                failed_ = true;
                return false;
            }
            eof_ = got == 0;
            filled_ += got;
        }
    }
    bool HadBreak() const { return hadBreak_; }
    // Where the line last returned begins, and where the next one does.
    uint64_t Start() const { return start_; }
    uint64_t End() const { return end_; }
    bool ReadFailed() const { return failed_; }
    bool Rewind() {
        start_ = end_ = 0;
        at_ = begin_ = filled_ = 0;
        eof_ = false;
        return memory_ || source_->Rewind();
    }

private:
    std::string_view text_;
    bool memory_ = false;
    size_t at_ = 0;
    StateSource* source_ = nullptr;
    std::vector<char> buffer_;
    size_t begin_ = 0, filled_ = 0;
    bool eof_ = false;
    bool failed_ = false;
    bool hadBreak_ = false;
    uint64_t start_ = 0, end_ = 0;
};

// What the first pass learns: the version, and the check sum of the text
// before every line whose first word is "end".
struct Checked {
    int version = 0;
    std::map<size_t, uint32_t> sumBeforeEnd;
};

struct Failure {
    size_t line = 0;
    std::string why;
};

// The version first, then the end line and its check sum, so a file cut
// short or damaged is named as such before its entries are read.
bool CheckWhole(Lines& lines, Checked& checked, Failure& failure) {
    statetext::CheckSum sum;
    size_t count = 0;
    bool headRead = false;
    struct {
        bool found = false;
        size_t number = 0;
        bool startsRight = false;
        uint64_t start = 0;
        size_t length = 0;
        bool hadBreak = false;
    } last;
    std::string_view line;
    while (lines.Next(line)) {
        ++count;
        if (count == 1) {
            Words head(line);
            std::string_view magic;
            headRead = head.Word(magic) && head.Int(checked.version) && magic == kMagic;
        } else {
            if (line.substr(0, 4) == "end ") {
                const std::string expected = statetext::EndLineFor(sum.Value());
                last.found = true;
                last.number = count;
                last.startsRight = line.substr(0, expected.size()) == expected;
                last.start = lines.Start();
                last.length = line.size();
                last.hadBreak = lines.HadBreak();
            }
            Words words(line);
            std::string_view tag;
            if (words.Word(tag) && tag == "end")
                checked.sumBeforeEnd[count] = sum.Value();
        }
        sum.Add(line);
        if (lines.HadBreak())
            sum.Add("\n");
    }
    if (lines.ReadFailed())
        return false;
    failure.line = 1;
    if (count == 0)
        failure.why = "the file is empty";
    else if (!headRead)
        failure.why = "not a simulator state file";
    else if (checked.version < kOldestStateFileVersion || checked.version > kStateFileVersion)
        failure.why = "state file version " + std::to_string(checked.version) +
                      " is not a version (" + std::to_string(kOldestStateFileVersion) + " to " +
                      std::to_string(kStateFileVersion) + ") this program reads";
    else if (!last.found)
        failure.why = "the file ends before its end line: it was cut short";
    if (!failure.why.empty())
        return false;
    failure.line = last.number;
    // The end line may carry one more character (its line break).
    const uint64_t rest = lines.End() - last.start;
    if (last.startsRight && rest <= statetext::EndLineFor(0).size() + 1)
        return true;
    failure.why = last.hadBreak && last.length + 1 < rest
                      ? "text after the end line"
                      : "the check sum does not match: the file is damaged";
    return false;
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

// The second pass: the entries, line by line.
class Entries {
public:
    Entries(const Checked& checked, std::vector<SavedWriter>* writers,
            std::vector<WriterSection>* sections)
        : checked_(checked), keep_(writers != nullptr), writers_(writers ? *writers : scanned_),
          sections_(sections) {}

    bool Line(std::string_view line, uint64_t start, Failure& failure);
    bool Finish(Failure& failure, WireSettings* wire);

private:
    // What the checks of later lines need to know of each socket, kept
    // whether or not the bytes are.
    struct Shape {
        size_t buffer = 0;
        bool chip = false;
        size_t chipSize = 0;
        bool fromBuffer = false;
    };
    bool Fail(Failure& failure, std::string why) {
        failure.line = number_;
        failure.why = std::move(why);
        return false;
    }
    bool Socket(Words& words, Failure& failure);
    bool Data(bool buffer, Words& words, Failure& failure);
    // A chip given as the chip image of a buffer takes its bytes once that
    // buffer is whole: when its socket's entries end.
    void Resolve();
    void CloseSection(uint64_t at) {
        if (sections_ && !sections_->empty() && sections_->back().end == 0)
            sections_->back().end = at;
    }

    const Checked& checked_;
    bool keep_;
    std::vector<SavedWriter> scanned_;
    std::vector<SavedWriter>& writers_;
    std::vector<WriterSection>* sections_;
    WireSettings wire_;
    size_t number_ = 0;
    bool ended_ = false;
    int socket_ = -1;
    std::array<Shape, kSocketCount> shapes_{};
    struct Pending {
        int socket;
        int from;
    };
    std::vector<Pending> pending_;
};

bool Entries::Line(std::string_view line, uint64_t start, Failure& failure) {
    ++number_;
    if (ended_)
        return Fail(failure, "text after the end line");
    Words words(line);
    std::string tag;
    words.Word(tag);
    if (number_ == 1) {
        int version = 0;
        if (tag != kMagic || !words.Int(version))
            return Fail(failure, "not a simulator state file");
        if (version < kOldestStateFileVersion || version > kStateFileVersion)
            return Fail(failure, "unknown state file version");
        return true;
    }
    if (tag == "end" || tag == "writer" || tag == "socket")
        Resolve();
    if (tag == "end") {
        std::string sum;
        words.Word(sum);
        char expected[16];
        const auto found = checked_.sumBeforeEnd.find(number_);
        std::snprintf(expected, sizeof expected, "%08x",
                      found == checked_.sumBeforeEnd.end() ? 0u : found->second);
        if (found == checked_.sumBeforeEnd.end() || sum != expected)
            return Fail(failure, "the check sum does not match: the file is damaged");
        CloseSection(start);
        ended_ = true;
    } else if (tag == "wire") {
        std::string settings, why;
        words.Word(settings);
        if (!writers_.empty() || !ParseWireSettings(settings, wire_, why))
            return Fail(failure, writers_.empty() ? why : "the wire line comes after a writer");
    } else if (tag == "writer") {
        // The instance is the rest of the line, whatever it holds.
        const auto at = line.find(" instance=");
        Words head(line.substr(0, at));
        head.Word(tag);
        Reader r(head.Fields());
        SavedWriter w;
        w.config.member = uint32_t(r.Number("member"));
        w.config.vendorId = uint16_t(r.Number("vid", 10, 0xFFFF));
        w.config.productId = uint16_t(r.Number("pid", 10, 0xFFFF));
        w.config.deviceType = uint8_t(r.Number("type", 10, 0xFF));
        w.config.serial = uint32_t(r.Number("serial"));
        w.plugged = r.Number("plugged", 10, 1) != 0;
        if (at != std::string_view::npos)
            w.config.instance = std::string(line.substr(at + 10));
        if (!r.ok)
            return Fail(failure, "bad or missing \"" + r.missing + "\"");
        CloseSection(start);
        if (sections_)
            sections_->push_back({w.config.member, start, 0});
        writers_.push_back(std::move(w));
        socket_ = -1;
        shapes_ = {};
    } else if (writers_.empty()) {
        return Fail(failure, "\"" + tag + "\" before any writer");
    } else if (tag == "firmware") {
        Reader r(words.Fields());
        FirmwareModel& f = writers_.back().state.firmware;
        std::istringstream parts(r.fields["version"]);
        std::string part;
        size_t i = 0;
        while (std::getline(parts, part, ',') && i < f.version.size())
            f.version[i++] = uint16_t(std::strtoul(part.c_str(), nullptr, 10));
        if (i != f.version.size())
            return Fail(failure, "bad firmware version");
        f.appSize = uint32_t(r.Number("appsize"));
        f.appCheckSum = uint32_t(r.Number("appsum"));
        f.bootCheckSum = uint32_t(r.Number("bootsum"));
        f.appValid = r.Number("app", 10, 1);
        f.bootValid = r.Number("boot", 10, 1);
        f.inBootLoader = r.Number("bootloader", 10, 1);
        if (!r.ok)
            return Fail(failure, "bad or missing \"" + r.missing + "\"");
    } else if (tag == "counters") {
        Reader r(words.Fields());
        WriterState& s = writers_.back().state;
        s.passCount = uint16_t(r.Number("pass", 10, 0xFFFF));
        s.failCount = uint16_t(r.Number("fail", 10, 0xFFFF));
        s.mask = uint16_t(r.Number("mask", 10, 0xFFFF));
        s.otpInfoVariant = uint8_t(r.Number("otpvariant", 10, 0xFF));
        if (!r.ok)
            return Fail(failure, "bad or missing \"" + r.missing + "\"");
    } else if (tag == "info") {
        std::string_view hex;
        words.Word(hex);
        if (hex.size() != 2 * kInfoBlockSize || !statetext::IsHex(hex))
            return Fail(failure, "the information block is not 192 bytes of hex");
        auto& info = writers_.back().state.info.emplace();
        statetext::DecodeHex(hex, info.data());
    } else if (tag == "socket") {
        return Socket(words, failure);
    } else if (tag == "b" || tag == "c") {
        return Data(tag == "b", words, failure);
    } else {
        return Fail(failure, "unknown entry \"" + tag + "\"");
    }
    return true;
}

bool Entries::Socket(Words& words, Failure& failure) {
    int index = -1;
    words.Int(index);
    if (index < 0 || index >= kSocketCount)
        return Fail(failure, "bad socket number");
    Reader r(words.Fields());
    auto& sockets = writers_.back().state.sockets;
    socket_ = index;
    SocketModel& socket = sockets[index];
    Shape& shape = shapes_[index];
    const size_t bufferSize = r.Number("buffer", 10, kBufferCapacity);
    // An earlier socket of this writer whose buffer or chip this one repeats;
    // this socket itself stands for one that is not before it.
    auto earlier = [&](const char* key) -> int {
        if (!r.fields.count(key))
            return -1;
        const auto k = r.Number(key, 10, kSocketCount - 1);
        return r.ok && int(k) < index ? int(k) : index;
    };
    const int bufferOf = earlier("sharesbuffer");
    const int chipOf = earlier("samechip");
    if (bufferOf == index || chipOf == index)
        return Fail(failure, "a socket repeats one that is not before it");
    if (bufferOf >= 0) {
        if (shapes_[bufferOf].buffer != bufferSize)
            return Fail(failure, "a shared buffer of another size");
        if (keep_)
            socket.buffer.ShareBytesOf(sockets[bufferOf].buffer);
    } else if (keep_) {
        socket.buffer.SetBytes(std::vector<uint8_t>(bufferSize, kBlankByte));
    }
    shape = {bufferSize, false, 0, false};
    socket.chip.reset();
    if (r.fields.count("chip")) {
        const size_t size = r.Number("chip", 10, kMaxChipSize);
        const bool fixed = r.Number("fixed", 10, 1) != 0;
        Chip chip(keep_ && fixed ? size : 0);
        if (keep_ && !chip.Fixed())
            chip.SetContents(std::vector<uint8_t>(size, kBlankByte));
        chip.SetTrims(uint32_t(r.Number("ihrc")), uint32_t(r.Number("lvd")));
        chip.SetLastBodyCode(uint8_t(r.Number("body", 10, 0xFF)));
        if (chipOf >= 0) {
            if (!shapes_[chipOf].chip || shapes_[chipOf].chipSize != size)
                return Fail(failure, "a repeated chip of another size");
            if (keep_)
                chip.ShareContentsOf(*sockets[chipOf].chip);
        }
        if (keep_)
            socket.chip = std::move(chip);
        shape.chip = true;
        shape.chipSize = size;
    }
    // Version 3 on: a chip that holds the chip image of a buffer.
    int from = -1;
    if (checked_.version >= 3 && r.fields.count("chipfrombuffer"))
        from = int(r.Number("chipfrombuffer", 10, kSocketCount - 1));
    if (!r.ok)
        return Fail(failure, "bad or missing \"" + r.missing + "\"");
    if (from >= 0) {
        if (from > index)
            return Fail(failure, "a chip made from a buffer that is not before it");
        if (!shape.chip || chipOf >= 0)
            return Fail(failure, "a chip made from a buffer must be a chip of its own");
        if (!FindBodyCode(uint8_t(r.Number("body", 10, 0xFF))))
            return Fail(failure, "a chip made from a buffer of a body the writer does not know");
        shape.fromBuffer = true;
        if (keep_)
            pending_.push_back({index, from});
    }
    return true;
}

bool Entries::Data(bool buffer, Words& words, Failure& failure) {
    uint64_t offset = 0;
    std::string_view hex;
    if (socket_ < 0 || !words.Unsigned(offset) || !words.Word(hex))
        return Fail(failure, "bad data line");
    const Shape& shape = shapes_[socket_];
    const size_t count = hex.size() / 2;
    const size_t size = buffer ? shape.buffer : shape.chipSize;
    const bool inside = (buffer || shape.chip) && offset <= size && count <= size - offset;
    if (!inside || hex.size() % 2)
        return Fail(failure, !statetext::IsHex(hex) ? "bad data line"
                             : buffer               ? "buffer data beyond the buffer size"
                                                    : "chip data beyond the chip");
    if (!buffer && shape.fromBuffer)
        return Fail(failure, "chip data for a chip made from a buffer");
    if (!keep_)
        return statetext::IsHex(hex) || Fail(failure, "bad data line");
    SocketModel& socket = writers_.back().state.sockets[socket_];
    uint8_t* to = buffer ? socket.buffer.MutableBytes().data() + offset
                         : socket.chip->MutableContents().data() + offset;
    return statetext::DecodeHex(hex, to) || Fail(failure, "bad data line");
}

void Entries::Resolve() {
    if (pending_.empty())
        return;
    auto& sockets = writers_.back().state.sockets;
    for (size_t i = 0; i < pending_.size(); ++i) {
        Chip& chip = *sockets[pending_[i].socket].chip;
        const WriterBuffer& from = sockets[pending_[i].from].buffer;
        const size_t group = FindBodyCode(chip.LastBodyCode())->group;
        // Chips made the same way from one buffer share one array.
        bool shared = false;
        for (size_t j = 0; j < i && !shared; ++j) {
            const Chip& done = *sockets[pending_[j].socket].chip;
            if (sockets[pending_[j].from].buffer.SameBytesAs(from) && done.Size() == chip.Size() &&
                FindBodyCode(done.LastBodyCode())->group == group) {
                chip.ShareContentsOf(done);
                shared = true;
            }
        }
        if (!shared) {
            std::vector<uint8_t> image;
            from.ChipImage(chip.Size(), group, image);
            chip.SetContents(std::move(image));
        }
    }
    pending_.clear();
}

bool Entries::Finish(Failure& failure, WireSettings* wire) {
    if (number_ == 0)
        return Fail(failure, "the file is empty");
    if (!ended_)
        return Fail(failure, "the file ends before its end line: it was cut short");
    if (wire)
        *wire = wire_;
    return true;
}

ParseOutcome Parse(Lines& lines, std::vector<SavedWriter>* writers,
                   std::vector<WriterSection>* sections, WireSettings* wire) {
    ParseOutcome outcome;
    if (writers)
        writers->clear();
    if (sections)
        sections->clear();
    Checked checked;
    Failure failure;
    bool ok = lines.Rewind() && CheckWhole(lines, checked, failure);
    bool readFailed = lines.ReadFailed() || (!ok && failure.why.empty());
    if (ok && !lines.Rewind()) {
        ok = false;
        readFailed = true;
    } else if (ok) {
        Entries entries(checked, writers, sections);
        std::string_view line;
        while (ok && lines.Next(line))
            ok = entries.Line(line, lines.Start(), failure);
        readFailed = lines.ReadFailed();
        if (ok && !readFailed)
            ok = entries.Finish(failure, wire);
    }
    outcome.readFailed = readFailed;
    outcome.ok = ok && !readFailed;
    if (!outcome.ok) {
        if (!outcome.readFailed)
            outcome.error = "line " + std::to_string(failure.line) + ": " + failure.why;
        if (writers)
            writers->clear();
        if (sections)
            sections->clear();
    }
    return outcome;
}

} // namespace

ParseOutcome ParseStateFrom(StateSource& source, std::vector<SavedWriter>* writers,
                            std::vector<WriterSection>* sections, WireSettings* wire) {
    Lines lines(source);
    return Parse(lines, writers, sections, wire);
}

ParseOutcome ParseStateText(std::string_view text, std::vector<SavedWriter>* writers,
                            std::vector<WriterSection>* sections, WireSettings* wire) {
    Lines lines(text);
    return Parse(lines, writers, sections, wire);
}

} // namespace sim
