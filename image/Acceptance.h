// Which files a body accepts: the size rule, the development environment's
// information value and its ladders, and the two name-based content rules.
// The main window applies them in this order when a file is opened:
// CheckFileSize on the length, then, on the whole file once it is read,
// CheckFileTail (the size rule's second half, same message), ReadXdeInfo and
// CheckXdeInfo, then CheckBodySpecific. EvaluateImageFile runs them all
// without showing boxes.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace image {

// Messages, exactly as the operator sees them.
inline constexpr const char* kSizeMismatchMessage = "File size does not match the OTP size!";
inline constexpr const char* kInfoCheckFailedMessage = "Bin file information check is failed!";
inline constexpr const char* kNoXdeInfoWarning =
    "Warning : This file does not contain XDE Info,\nBurnwright cannot detect chip compability.\n "
    "You may update meril XDE to resolve it.";
inline constexpr const char* kKL500ContentMessage =
    "File does not match. Please check XDE project is choice KL500";
inline constexpr const char* kKS300ContentMessage =
    "Please check XDE version is  MerilXDE_KS30K_V1.01d2 or newer.";
// Caption of the plain message boxes these checks show.
inline constexpr const char* kPlainBoxCaption = "Burnwright";

// Whether `length` is a file length that body `index` accepts; index 0 and
// indexes above 34 accept nothing.
bool CheckFileSize(int index, int64_t length);

// Whether a file that CheckFileSize took fits the body's chip whole. A body
// whose chip image is a plain copy of at most its chip size takes a longer
// file (up to its family's bound) only when every byte past the chip size is
// 0x00, or every one is 0xFF: padding, so nothing is cut. Other bodies: true.
// Failure shows kSizeMismatchMessage, as the length rule does.
bool FileTailIsPadding(int index, std::span<const uint8_t> contents);
bool CheckFileTail(int index, std::span<const uint8_t> contents);

// The information value of a file for body `index`: bytes 28/29 (series in the
// low byte, chip in the second) for 26-29; the 32-bit value of bytes 160-163
// for 30-33; else the little-endian word 6 bytes before the (even-rounded)
// end. A file too short to hold it carries none: 0.
uint32_t ReadXdeInfo(int index, std::span<const uint8_t> contents);

enum class XdeVerdict { Accept, AcceptWithWarning, Refuse };
// The information rule without any box.
XdeVerdict JudgeXdeInfo(uint32_t info, int index, int64_t length);
// The information rule; shows kNoXdeInfoWarning (and accepts) where the rule
// warns. False when the file must be refused.
bool CheckXdeInfo(uint32_t info, int index, int64_t length);

// The content rule for the body-list name, or null when it holds (names other
// than " KL500 " and " KS300 " have none). Words outside the file fail it.
const char* BodySpecificFailure(const std::string& name, std::span<const uint8_t> contents);
// The same, showing the failure's message; false on failure.
bool CheckBodySpecific(const std::string& name, std::span<const uint8_t> contents);

struct Evaluation {
    bool accepted = false;
    // The message of the check that refused the file, or the warning shown
    // on an accepted file; empty when there is none.
    std::string message;
    bool warning = false;
};
// The three checks in the window's order, for body `index` with body-list
// name `name`, without boxes.
Evaluation EvaluateImageFile(int index, const std::string& name, std::span<const uint8_t> contents);

} // namespace image
