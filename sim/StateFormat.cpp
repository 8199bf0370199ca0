#include "sim/StateFormat.h"

#include "sim/BodyCodes.h"

#include <charconv>
#include <cstring>
#include <map>

namespace sim {
namespace {

constexpr size_t kBytesPerLine = 64;
// Text is handed to the sink in pieces of about this size.
constexpr size_t kPiece = 1 << 20;

// Whether `chip` holds the chip image of `buffer` in groups of `group`: chip
// byte a is buffer byte (a / group) x (group + 1) + a mod group, blank past
// the buffer's end.
bool IsChipImageOf(const std::vector<uint8_t>& chip, const WriterBuffer& buffer, size_t group) {
    const std::vector<uint8_t>& word = buffer.Bytes();
    size_t at = 0;
    for (size_t first = 0; first < chip.size(); first += group, at += group + 1) {
        const size_t count = std::min(group, chip.size() - first);
        if (at + count <= word.size()) {
            if (std::memcmp(chip.data() + first, word.data() + at, count) != 0)
                return false;
            continue;
        }
        for (size_t i = 0; i < count; ++i)
            if (chip[first + i] != buffer.At(at + i))
                return false;
    }
    return true;
}

// Per array, answers that take a scan of it, asked once per writer.
class ChipFacts {
public:
    bool Blank(const Chip& chip) {
        auto [it, fresh] = blank_.try_emplace(chip.ContentsId(), false);
        if (fresh)
            it->second = chip.IsBlank();
        return it->second;
    }

private:
    std::map<const void*, bool> blank_;
};

bool SameChip(const Chip& a, const Chip& b) {
    return a.Fixed() == b.Fixed() && (a.SameContentsAs(b) || a.Contents() == b.Contents());
}

} // namespace

StateWriter::StateWriter(Sink sink) : sink_(std::move(sink)) {
    buffer_.reserve(kPiece + 4096);
}

void StateWriter::Number(uint64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    buffer_.append(digits, size_t(end - digits));
}

void StateWriter::Flush(bool always) {
    if (buffer_.empty() || (!always && buffer_.size() < kPiece))
        return;
    sum_.Add(buffer_);
    if (!failed_ && !sink_(buffer_))
        failed_ = true;
    flushed_ += buffer_.size();
    buffer_.clear();
}

void StateWriter::ReuseFrom(Reader read, const DataLines& earlier) {
    read_ = std::move(read);
    earlier_ = &earlier;
}

void StateWriter::Begin(const WireSettings* wire) {
    Put("burnwright-sim-state ");
    Number(kStateFileVersion);
    Put("\n");
    if (wire && wire->on) {
        Put("wire ");
        Put(FormatWireSettings(*wire));
        Put("\n");
    }
}

void StateWriter::Runs(char tag, const std::vector<uint8_t>& bytes, const void* array) {
    const uint64_t begin = Offset();
    if (array && earlier_) {
        const auto found = earlier_->find({tag, array});
        if (found != earlier_->end()) {
            std::string piece;
            for (uint64_t at = found->second.begin; at < found->second.end && copied_;) {
                piece.resize(size_t(std::min<uint64_t>(found->second.end - at, kPiece)));
                copied_ = read_(at, piece.data(), piece.size());
                if (copied_)
                    Copy(piece);
                at += piece.size();
            }
            written_[{tag, array}] = {begin, Offset()};
            return;
        }
    }
    size_t i = 0;
    while (i < bytes.size()) {
        if (bytes[i] == kBlankByte) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < bytes.size() && end - i < kBytesPerLine && bytes[end] != kBlankByte)
            ++end;
        buffer_.push_back(tag);
        buffer_.push_back(' ');
        Number(i);
        buffer_.push_back(' ');
        statetext::AppendHex(buffer_, bytes.data() + i, end - i);
        buffer_.push_back('\n');
        Flush(false);
        i = end;
    }
    if (array)
        written_[{tag, array}] = {begin, Offset()};
}

void StateWriter::Writer(const SavedWriter& w) {
    const WriterConfig& c = w.config;
    const WriterState& s = w.state;
    const FirmwareModel& f = s.firmware;
    Put("writer member=");
    Number(c.member);
    Put(" vid=");
    Number(c.vendorId);
    Put(" pid=");
    Number(c.productId);
    Put(" type=");
    Number(c.deviceType);
    Put(" serial=");
    Number(c.serial);
    Put(w.plugged ? " plugged=1" : " plugged=0");
    Put(" instance=");
    Put(c.instance);
    Put("\nfirmware version=");
    for (size_t i = 0; i < f.version.size(); ++i) {
        if (i)
            Put(",");
        Number(f.version[i]);
    }
    Put(" appsize=");
    Number(f.appSize);
    Put(" appsum=");
    Number(f.appCheckSum);
    Put(" bootsum=");
    Number(f.bootCheckSum);
    Put(" app=");
    Number(f.appValid);
    Put(" boot=");
    Number(f.bootValid);
    Put(" bootloader=");
    Number(f.inBootLoader);
    Put("\ncounters pass=");
    Number(s.passCount);
    Put(" fail=");
    Number(s.failCount);
    Put(" mask=");
    Number(s.mask);
    Put(" otpvariant=");
    Number(s.otpInfoVariant);
    Put("\n");
    if (s.info) {
        Put("info ");
        statetext::AppendHex(buffer_, s.info->data(), s.info->size());
        Put("\n");
    }
    ChipFacts facts;
    for (int i = 0; i < kSocketCount; ++i) {
        const SocketModel& socket = s.sockets[i];
        const auto& buffer = socket.buffer.Bytes();
        if (!socket.chip && buffer.empty())
            continue;
        int sharedBuffer = -1, sameChip = -1, fromBuffer = -1;
        const bool blank = socket.chip && facts.Blank(*socket.chip);
        for (int k = 0; k < i; ++k) {
            const SocketModel& earlier = s.sockets[k];
            if (sharedBuffer < 0 && !buffer.empty() && earlier.buffer.SameBytesAs(socket.buffer))
                sharedBuffer = k;
            if (sameChip < 0 && socket.chip && earlier.chip && !blank &&
                SameChip(*earlier.chip, *socket.chip))
                sameChip = k;
        }
        // A chip that holds the chip image of a buffer: its own socket's
        // first, then an earlier socket's.
        const BodyCode* body = socket.chip ? FindBodyCode(socket.chip->LastBodyCode()) : nullptr;
        if (socket.chip && sameChip < 0 && !blank && body) {
            const std::vector<uint8_t>& contents = socket.chip->Contents();
            if (IsChipImageOf(contents, socket.buffer, body->group))
                fromBuffer = i;
            for (int k = 0; k < i && fromBuffer < 0; ++k)
                if (!s.sockets[k].buffer.SameBytesAs(socket.buffer) &&
                    IsChipImageOf(contents, s.sockets[k].buffer, body->group))
                    fromBuffer = k;
        }
        Put("socket ");
        Number(unsigned(i));
        Put(" buffer=");
        Number(buffer.size());
        if (sharedBuffer >= 0) {
            Put(" sharesbuffer=");
            Number(unsigned(sharedBuffer));
        }
        if (socket.chip) {
            const Chip& chip = *socket.chip;
            Put(" chip=");
            Number(chip.Size());
            Put(chip.Fixed() ? " fixed=1" : " fixed=0");
            Put(" ihrc=");
            Number(chip.IhrcTrims());
            Put(" lvd=");
            Number(chip.LvdTrims());
            Put(" body=");
            Number(chip.LastBodyCode());
        }
        if (sameChip >= 0) {
            Put(" samechip=");
            Number(unsigned(sameChip));
        }
        if (fromBuffer >= 0) {
            Put(" chipfrombuffer=");
            Number(unsigned(fromBuffer));
        }
        Put("\n");
        Flush(false);
        if (sharedBuffer < 0)
            Runs('b', buffer, socket.buffer.BytesId());
        if (socket.chip && sameChip < 0 && fromBuffer < 0)
            Runs('c', socket.chip->Contents(), socket.chip->ContentsId());
    }
    Flush(false);
}

void StateWriter::Copy(std::string_view text) {
    Flush(true);
    sum_.Add(text);
    if (!failed_ && !sink_(text))
        failed_ = true;
    flushed_ += text.size();
}

bool StateWriter::End() {
    Flush(true);
    endLine_ = statetext::EndLineFor(sum_.Value()) + "\n";
    if (!failed_ && !sink_(endLine_))
        failed_ = true;
    return !failed_;
}

} // namespace sim
