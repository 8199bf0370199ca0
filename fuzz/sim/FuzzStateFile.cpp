// Any text given as a state file is either refused with a reason or read
// into writers that format back to a file that reads the same. The input is
// taken as the entries between a good version line and a good end line, so
// the fuzzer reaches the entries rather than the check sum.
#include "sim/StateFile.h"

#include <cstdio>
#include <cstdlib>
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text = "burnwright-sim-state 2\n";
    text.append(reinterpret_cast<const char*>(data), size);
    if (text.back() != '\n')
        text.push_back('\n');
    char end[32];
    std::snprintf(end, sizeof end, "end %08x\n", Fnv1a(text));
    text += end;
    std::vector<sim::SavedWriter> writers;
    std::string error;
    if (!sim::ParseState(text, writers, error)) {
        if (error.empty() || !writers.empty())
            std::abort();
        return 0;
    }
    const std::string again = sim::FormatState(writers);
    std::vector<sim::SavedWriter> back;
    if (!sim::ParseState(again, back, error) || sim::FormatState(back) != again)
        std::abort();
    return 0;
}
