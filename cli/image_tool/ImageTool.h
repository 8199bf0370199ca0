// The image commands of burnwright-cli, for engineers and tests:
//   check   runs the size, information and content checks in the window's order
//   convert writes the chip image and the word image of a file (with the
//           information record placed when one is given) and prints the numbers
//           the writer engine takes from the image
//   make    writes a file that a body accepts, random apart from what the
//           checks look at
// Each returns the process exit status and writes its report to `out`, its
// errors to `err`.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

namespace image::tool {

// 0 accepted (the warning, if any, printed), 1 refused (the failing check's
// message printed).
int Check(int body, const std::string& file, std::ostream& out, std::ostream& err);

struct ConvertOptions {
    int body = 0; // 0: the plain OTP image
    std::string file;
    std::optional<std::string> recordHex; // 28 hexadecimal digits
    std::string chipOut, wordOut;
};
int Convert(const ConvertOptions& options, std::ostream& out, std::ostream& err);

struct MakeOptions {
    int body = 0;
    std::optional<uint32_t> size;
    std::optional<uint32_t> chip; // chip code, or the whole value for bodies 30-33
    std::optional<uint32_t> seed;
    std::string out;
};
int Make(const MakeOptions& options, std::ostream& out, std::ostream& err);

// "0x1F", "31": the number; nothing for anything else.
std::optional<uint32_t> ParseNumber(const std::string& text);

} // namespace image::tool
