#include "tests/support/Invariant.h"

#include "image/ChipBinFiles.h"
#include "sim/Writer.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

namespace invariant {
namespace {

constexpr int kCounterWrap = 10000;

uint8_t ByteAt(const std::vector<uint8_t>& bytes, size_t at) {
    return at < bytes.size() ? bytes[at] : sim::kBlankByte;
}

// Where two chips' bytes first differ, and in how many bytes; the shorter
// array reads blank beyond its end, as a chip of any size does.
struct Difference {
    size_t first = 0;
    size_t count = 0;
};

Difference Compare(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, size_t from,
                   size_t to) {
    Difference d;
    for (size_t i = from; i < to; ++i)
        if (ByteAt(a, i) != ByteAt(b, i) && d.count++ == 0)
            d.first = i;
    return d;
}

std::string Hex(size_t value) {
    std::ostringstream out;
    out << "0x" << std::hex << std::uppercase << value;
    return out.str();
}

std::string SocketName(int socket) {
    return "socket " + std::to_string(socket + 1);
}

// Splits one CSV line; quoted fields may hold commas and doubled quotes.
std::vector<std::string> CsvFields(const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"')
                fields.back() += line[++i];
            else if (c == '"')
                quoted = false;
            else
                fields.back() += c;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

void CheckRecord(const Observation& before, const Observation& after, const Report& report,
                 std::vector<std::string>& breaches) {
    const std::vector<int>& sockets = *report.recordSockets;
    const std::vector<RecordLine> none;
    const std::vector<RecordLine>& old = before.record ? *before.record : none;
    if (!after.record) {
        breaches.push_back("the production record was asked for and cannot be read");
        return;
    }
    const std::vector<RecordLine>& now = *after.record;
    if (now.size() < old.size()) {
        breaches.push_back("the production record lost lines: " + std::to_string(old.size()) +
                           " before, " + std::to_string(now.size()) + " after");
        return;
    }
    std::vector<int> lineSockets;
    for (size_t i = old.size(); i < now.size(); ++i) {
        const RecordLine& line = now[i];
        const int socket = line.socket - 1;
        lineSockets.push_back(socket);
        if (socket < 0 || socket >= sim::kSocketCount) {
            breaches.push_back("the production record gained a line for socket " +
                               std::to_string(line.socket));
            continue;
        }
        const Reported r = report.sockets[size_t(socket)];
        const bool reportedOk = r == Reported::Ok || r == Reported::OkUncounted;
        if ((line.finalState == "OK") != reportedOk)
            breaches.push_back("the production record says " + line.finalState + " for " +
                               SocketName(socket) + ", reported " + (reportedOk ? "OK" : "not OK"));
    }
    std::vector<int> wanted = sockets;
    std::sort(wanted.begin(), wanted.end());
    std::sort(lineSockets.begin(), lineSockets.end());
    if (wanted != lineSockets) {
        std::string have, want;
        for (int s : lineSockets)
            have += " " + std::to_string(s + 1);
        for (int s : wanted)
            want += " " + std::to_string(s + 1);
        breaches.push_back("the production record gained lines for sockets [" + have +
                           " ], not one for each chip reported [" + want + " ]");
    }
}

} // namespace

Chips ChipsOf(const sim::WriterState& state) {
    Chips chips;
    for (int i = 0; i < sim::kSocketCount; ++i) {
        const auto& chip = state.sockets[size_t(i)].chip;
        chips[size_t(i)].present = chip.has_value();
        if (chip)
            chips[size_t(i)].bytes = chip->Contents();
    }
    return chips;
}

Chips ChipsOf(const sim::Writer& writer) {
    Chips chips;
    for (int i = 0; i < sim::kSocketCount; ++i) {
        const std::optional<sim::Chip> chip = writer.ChipAt(i);
        chips[size_t(i)].present = chip.has_value();
        if (chip)
            chips[size_t(i)].bytes = chip->Contents();
    }
    return chips;
}

std::vector<std::string> Check(const Observation& before, const Observation& after,
                               const Report& report) {
    std::vector<std::string> breaches;
    const std::vector<uint8_t>& image = report.chipImage;
    int ok = 0, failed = 0;
    for (int s = 0; s < sim::kSocketCount; ++s) {
        const Chip& was = before.chips[size_t(s)];
        const Chip& is = after.chips[size_t(s)];
        const std::string name = SocketName(s);
        const size_t span = std::max({was.bytes.size(), is.bytes.size(), image.size()});
        switch (report.sockets[size_t(s)]) {
        case Reported::Untouched: {
            if (was.present != is.present) {
                breaches.push_back(name + " was not written by the step, yet its chip " +
                                   (is.present ? "appeared" : "disappeared"));
                break;
            }
            const Difference d = Compare(was.bytes, is.bytes, 0, span);
            if (d.count)
                breaches.push_back(name + " was not written by the step, yet " +
                                   std::to_string(d.count) +
                                   " of its bytes changed, the first at " + Hex(d.first));
            break;
        }
        case Reported::Failed:
            ++failed;
            break;
        case Reported::FailedUncounted:
            break;
        case Reported::Ok:
            ++ok;
            [[fallthrough]];
        case Reported::OkUncounted: {
            if (!is.present) {
                breaches.push_back(name + " is reported OK and holds no chip");
                break;
            }
            if (image.empty()) {
                breaches.push_back(name + " is reported OK with no image to hold");
                break;
            }
            const Difference inImage = Compare(image, is.bytes, 0, image.size());
            if (inImage.count)
                breaches.push_back(name + " is reported OK, yet " + std::to_string(inImage.count) +
                                   " of the image's " + std::to_string(image.size()) +
                                   " bytes differ on the chip, the first at " + Hex(inImage.first));
            const Difference beyond = Compare(was.bytes, is.bytes, image.size(), span);
            if (beyond.count)
                breaches.push_back(name + " is reported OK, yet " + std::to_string(beyond.count) +
                                   " bytes after the image changed, the first at " +
                                   Hex(beyond.first));
            break;
        }
        }
    }
    const auto base = before.counters.find(report.countersFrom);
    for (const auto& [place, own] : before.counters) {
        const auto it = after.counters.find(place);
        if (it == after.counters.end())
            continue;
        const Counters& was = base != before.counters.end() ? base->second : own;
        const Counters wanted{(was.ok + ok) % kCounterWrap, (was.fail + failed) % kCounterWrap};
        auto text = [](const Counters& c) {
            return std::to_string(c.ok) + "/" + std::to_string(c.fail);
        };
        if (it->second != wanted)
            breaches.push_back(
                "the " + place + " counters (OK/fail) went from " + text(own) + " to " +
                text(it->second) + ", not to " + text(wanted) + ": " +
                (base != before.counters.end() ? "the " + base->first + "'s " : std::string()) +
                text(was) + " and the chips reported " + std::to_string(ok) + " OK and " +
                std::to_string(failed) + " failed");
    }
    if (report.recordSockets)
        CheckRecord(before, after, report, breaches);
    return breaches;
}

std::vector<uint8_t> ExpectedChipImage(image::C_OTPBinFile& image) {
    const uint8_t* word = image.GetWordImage();
    const size_t wordSize = size_t(std::max(0, image.GetWordImageSize()));
    const size_t chipSize = size_t(std::max(0, image.GetChipImageSize()));
    const size_t group = image.Layout().group;
    std::vector<uint8_t> chip;
    if (!word || group == 0)
        return chip;
    chip.resize(chipSize);
    for (size_t a = 0; a < chipSize; ++a) {
        const size_t at = a / group * (group + 1) + a % group;
        chip[a] = at < wordSize ? word[at] : sim::kBlankByte;
    }
    return chip;
}

std::vector<uint8_t> ExpectedChipImage(int index, const std::string& path) {
    const auto image = image::CreateBodyImage(index);
    if (!image || !image->SetFileName(path))
        return {};
    return ExpectedChipImage(*image);
}

std::vector<RecordLine> ReadRecord(const std::string& path) {
    std::vector<RecordLine> lines;
    std::ifstream file(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // A line cut by a killed writer is not a record of anything.
    text.erase(text.find_last_of('\n') == std::string::npos ? 0 : text.find_last_of('\n') + 1);
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line.rfind("time,", 0) == 0)
            continue;
        const std::vector<std::string> fields = CsvFields(line);
        if (fields.size() < 6)
            continue;
        RecordLine record;
        record.socket = std::atoi(fields[2].c_str());
        record.finalState = fields[fields.size() - 3];
        lines.push_back(record);
    }
    return lines;
}

} // namespace invariant
