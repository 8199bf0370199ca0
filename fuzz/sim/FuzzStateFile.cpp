// Any text given as a state file is either refused with a reason or read
// into writers that format back to a file that reads the same. The input is
// taken as the entries between a good version line and a good end line, so
// the fuzzer reaches the entries rather than the check sum; it is tried as
// version 2 and as version 3.
//
// As version 2 it must be read exactly as the reader before reading in
// pieces read it: the same writers, or a refusal for the same reason. Read
// in small pieces, and checked without keeping any bytes, it must be
// accepted and refused exactly as the text in memory is.
#include "fuzz/sim/ReferenceStateParse.h"
#include "sim/StateFile.h"
#include "sim/StateParse.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

uint32_t Fnv1a(const std::string& text) {
    uint32_t hash = 2166136261u;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 16777619u;
    }
    return hash;
}

// The text handed out a few bytes at a time.
class Pieces : public sim::StateSource {
public:
    Pieces(const std::string& text, size_t piece) : text_(text), piece_(piece) {}
    bool Read(char* data, size_t length, size_t& got) override {
        got = std::min({length, piece_, text_.size() - at_});
        std::memcpy(data, text_.data() + at_, got);
        at_ += got;
        return true;
    }
    bool Rewind() override {
        at_ = 0;
        return true;
    }

private:
    const std::string& text_;
    size_t piece_;
    size_t at_ = 0;
};

void Require(bool holds) {
    if (!holds)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string entries(reinterpret_cast<const char*>(data), size);
    for (int version : {2, 3}) {
        std::string text = "burnwright-sim-state " + std::to_string(version) + "\n" + entries;
        if (text.back() != '\n')
            text.push_back('\n');
        char end[32];
        std::snprintf(end, sizeof end, "end %08x\n", Fnv1a(text));
        text += end;

        std::vector<sim::SavedWriter> writers;
        std::string error;
        const bool ok = sim::ParseState(text, writers, error);
        Require(ok ? error.empty() : !error.empty() && writers.empty());
        const std::string formatted = ok ? sim::FormatState(writers) : std::string();

        Pieces pieces(text, 1 + size % 13);
        std::vector<sim::SavedWriter> inPieces;
        const sim::ParseOutcome read = sim::ParseStateFrom(pieces, &inPieces);
        Require(read.ok == ok && read.error == error && !read.readFailed);
        Require(!ok || sim::FormatState(inPieces) == formatted);
        const sim::ParseOutcome checked = sim::ParseStateText(text, nullptr);
        Require(checked.ok == ok && checked.error == error);

        if (version == 2) {
            std::vector<sim::SavedWriter> before;
            std::string reason;
            const bool accepted = fuzzref::ReferenceParseState(text, before, reason);
            Require(accepted == ok && reason == error);
            Require(!ok || sim::FormatState(before) == formatted);
        }
        if (ok) {
            std::vector<sim::SavedWriter> back;
            Require(sim::ParseState(formatted, back, error) && sim::FormatState(back) == formatted);
        }
    }
    return 0;
}
