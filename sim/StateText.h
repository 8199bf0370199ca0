// The state file at the level of its text: the check sum, hex digits, and the
// words of a line, read the way the file has always been read (as a C++
// input stream reads words and numbers in the classic locale), so files that
// were accepted before still are, and no others.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace sim::statetext {

// FNV-1a, 32 bits, fed in pieces.
class CheckSum {
public:
    void Add(std::string_view text) {
        uint32_t hash = hash_;
        for (unsigned char c : text) {
            hash ^= c;
            hash *= 16777619u;
        }
        hash_ = hash;
    }
    uint32_t Value() const { return hash_; }

private:
    uint32_t hash_ = 2166136261u;
};

// "end xxxxxxxx" for a check sum.
std::string EndLineFor(uint32_t sum);

// Appends two lower-case hex digits per byte.
void AppendHex(std::string& out, const uint8_t* data, size_t length);
// The value of a hex digit of either case; -1 for anything else.
int HexDigit(char c);
// Decodes `hex` (an even number of hex digits) into `out`, which holds
// hex.size() / 2 bytes; false at the first character that is no hex digit.
bool DecodeHex(std::string_view hex, uint8_t* out);
// Whether `hex` is an even number of hex digits.
bool IsHex(std::string_view hex);

// Whitespace between words: space, tab, vertical tab, form feed, return.
inline bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n';
}

// Reads words and numbers from one line, one after the other. As with a
// stream, a number stops at the first character that is not a digit (the
// rest of that word is read next), and after one failed read every later
// read fails.
class Words {
public:
    explicit Words(std::string_view line) : line_(line) {}

    // The next word; false (and nothing taken) at the end of the line.
    bool Word(std::string_view& word);
    bool Word(std::string& word);
    // A number in decimal with an optional sign, as size_t reads: a minus
    // sign wraps around. On overflow the read fails with the largest value;
    // with no digits it fails with 0; at the end of the line it fails and
    // leaves `value` as it was.
    bool Unsigned(uint64_t& value);
    // The same as int reads: out of range fails with the nearest limit.
    bool Int(int& value);
    bool Failed() const { return failed_; }
    // The "key=value" words left, the last of each key kept; words without
    // '=' are skipped.
    std::map<std::string, std::string> Fields();

private:
    // Skips whitespace; false (and failed) at the end of the line.
    bool Start();
    // Sign and digits after Start: the magnitude, whether it overflowed 64
    // bits, whether it was negative; false (failed) without digits.
    bool Digits(uint64_t& magnitude, bool& overflow, bool& negative);

    std::string_view line_;
    size_t at_ = 0;
    bool failed_ = false;
};

} // namespace sim::statetext
