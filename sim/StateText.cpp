#include "sim/StateText.h"

#include <climits>
#include <cstdio>

namespace sim::statetext {
namespace {

struct HexTables {
    char pairs[256][2];
    int8_t values[256];
    HexTables() {
        static const char digits[] = "0123456789abcdef";
        for (int i = 0; i < 256; ++i) {
            pairs[i][0] = digits[i >> 4];
            pairs[i][1] = digits[i & 15];
            values[i] = -1;
        }
        for (int i = 0; i < 10; ++i)
            values['0' + i] = int8_t(i);
        for (int i = 0; i < 6; ++i) {
            values['a' + i] = int8_t(10 + i);
            values['A' + i] = int8_t(10 + i);
        }
    }
};

const HexTables& Tables() {
    static const HexTables tables;
    return tables;
}

} // namespace

std::string EndLineFor(uint32_t sum) {
    char line[32];
    std::snprintf(line, sizeof line, "end %08x", sum);
    return line;
}

void AppendHex(std::string& out, const uint8_t* data, size_t length) {
    const HexTables& t = Tables();
    const size_t at = out.size();
    out.resize(at + 2 * length);
    char* to = out.data() + at;
    for (size_t i = 0; i < length; ++i, to += 2) {
        to[0] = t.pairs[data[i]][0];
        to[1] = t.pairs[data[i]][1];
    }
}

int HexDigit(char c) {
    return Tables().values[static_cast<unsigned char>(c)];
}

bool DecodeHex(std::string_view hex, uint8_t* out) {
    const int8_t* values = Tables().values;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        const int hi = values[static_cast<unsigned char>(hex[i])];
        const int lo = values[static_cast<unsigned char>(hex[i + 1])];
        if ((hi | lo) < 0)
            return false;
        *out++ = uint8_t(hi << 4 | lo);
    }
    return hex.size() % 2 == 0;
}

bool IsHex(std::string_view hex) {
    if (hex.size() % 2)
        return false;
    for (char c : hex)
        if (HexDigit(c) < 0)
            return false;
    return true;
}

bool Words::Start() {
    if (failed_)
        return false;
    while (at_ < line_.size() && IsSpace(line_[at_]))
        ++at_;
    if (at_ == line_.size())
        failed_ = true;
    return !failed_;
}

bool Words::Word(std::string_view& word) {
    if (!Start())
        return false;
    const size_t begin = at_;
    while (at_ < line_.size() && !IsSpace(line_[at_]))
        ++at_;
    word = line_.substr(begin, at_ - begin);
    return true;
}

bool Words::Word(std::string& word) {
    std::string_view view;
    if (!Word(view))
        return false;
    word.assign(view);
    return true;
}

bool Words::Digits(uint64_t& magnitude, bool& overflow, bool& negative) {
    negative = false;
    if (line_[at_] == '-' || line_[at_] == '+')
        negative = line_[at_++] == '-';
    magnitude = 0;
    overflow = false;
    bool any = false;
    while (at_ < line_.size() && line_[at_] >= '0' && line_[at_] <= '9') {
        const unsigned digit = unsigned(line_[at_++] - '0');
        any = true;
        if (magnitude > (UINT64_MAX - digit) / 10)
            overflow = true;
        else
            magnitude = magnitude * 10 + digit;
    }
    if (!any)
        failed_ = true;
    return any;
}

bool Words::Unsigned(uint64_t& value) {
    if (!Start())
        return false;
    uint64_t magnitude;
    bool overflow, negative;
    if (!Digits(magnitude, overflow, negative)) {
        value = 0;
        return false;
    }
    if (overflow) {
        value = UINT64_MAX;
        failed_ = true;
        return false;
    }
    value = negative ? 0 - magnitude : magnitude;
    return true;
}

bool Words::Int(int& value) {
    if (!Start())
        return false;
    uint64_t magnitude;
    bool overflow, negative;
    if (!Digits(magnitude, overflow, negative)) {
        value = 0;
        return false;
    }
    // Read as a long first, then narrowed; each limit is kept on overflow.
    const uint64_t longLimit = negative ? uint64_t(LONG_MAX) + 1 : uint64_t(LONG_MAX);
    long wide;
    if (overflow || magnitude > longLimit) {
        wide = negative ? LONG_MIN : LONG_MAX;
        failed_ = true;
    } else {
        wide = negative ? long(0 - magnitude) : long(magnitude);
    }
    if (wide < INT_MIN || wide > INT_MAX) {
        value = wide < 0 ? INT_MIN : INT_MAX;
        failed_ = true;
    } else {
        value = int(wide);
    }
    return !failed_;
}

std::map<std::string, std::string> Words::Fields() {
    std::map<std::string, std::string> fields;
    std::string_view word;
    while (Word(word)) {
        const auto eq = word.find('=');
        if (eq != std::string_view::npos)
            fields[std::string(word.substr(0, eq))] = std::string(word.substr(eq + 1));
    }
    return fields;
}

} // namespace sim::statetext
