// The chip-body catalogue: "OTPBodyProfile.xml" beside the program gives each
// body index its body-list name, sizes and codes. Every element named "Body"
// anywhere in the document is read, in document order; a later element with
// the same "BodyID" replaces an earlier one. A missing attribute reads as 0
// (an empty name); text that is not a number reads as its leading digits, or
// 0; numbers beyond the 32-bit range are held at its ends.
//
// Construction reads the file and never fails: when the program's folder is
// unknown ("Error!") or the file is missing or not well-formed ("Faild to load
// OTPBodyProfile.xml !") it shows the message through the message-box host and
// the catalogue stays empty. Lookups of an index the file does not define
// answer as for an absent body: empty name, zero sizes, no match.
//
// A body whose sizes in bytes are negative or above kMaxBodyBytes is refused:
// it keeps its entry (the body list stays in index order) but all its sizes
// read as 0, so no writer operation runs for it; the other bodies stay usable.
// Then, as for a file that cannot be loaded, the operator sees "Faild to load
// OTPBodyProfile.xml !", and the reason - the file, its line, the body and the
// attribute, or the parser's description - goes to the function log and to
// the reason sink (standard error unless replaced).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace image {

inline constexpr const char* kProfileFileName = "OTPBodyProfile.xml";
// The largest size in bytes a body may give (OTP, read-back, bin and ROM
// size). The largest any body of the table needs is 6 MiB (the word image of
// body 10; its chip is 4 MiB), so this leaves room and keeps a broken number
// from making the program allocate or read gigabytes.
inline constexpr uint32_t kMaxBodyBytes = 16 * 1024 * 1024;

// Where the reasons for a refused profile or body go besides the function log.
using ProfileReasonSink = void (*)(const std::string& reason);
// Installs `sink` (null: standard error again) and returns the previous one.
ProfileReasonSink SetProfileReasonSink(ProfileReasonSink sink);

// One body's entry, scaled as stored.
struct BodyProfile {
    int32_t binSize = 0;    // "BinSize" x 2048
    int32_t romSize = 0;    // "RomSize" x 1024
    int32_t otpSize = 0;    // "OTPSize" x 1024
    int32_t otpBinSize = 0; // "OTPBinSize" x "OTPSize" as read: kilobytes
    int32_t fwBody = 0;     // the engine sends its low byte to the writer
    std::string comboName;  // the body-list name
    int32_t bodySeries = 0; // compared by its low byte
    int32_t bodyType = 0;   // compared with a 16-bit value
};

class C_OTPBodyProfiler {
public:
    // Reads the profile from the program's folder.
    C_OTPBodyProfiler();
    // Reads the profile from `profilePath` (tools and tests).
    explicit C_OTPBodyProfiler(const std::string& profilePath);
    virtual ~C_OTPBodyProfiler() = default;

    int GetCount() const { return static_cast<int>(bodies_.size()); }
    std::string GetComboName(int index) const;
    int GetBinSize() const { return Current().binSize; }
    int GetOTPSize() const { return Current().otpSize; }
    int GetOTPBinSize() const { return Current().otpBinSize; }
    int GetFwBody() const { return Current().fwBody; }
    uint8_t GetBodySeries() const { return static_cast<uint8_t>(Current().bodySeries & 0xFF); }
    int GetBodyType() const { return Current().bodyType; }

    // The body the engine has selected; 0 at construction.
    int GetCurrentIndex() const { return currentIndex_; }
    void SetCurrentIndex(int index) { currentIndex_ = index; }

    // The entry of `index`, or null when the profile does not define it.
    const BodyProfile* Find(int index) const;
    const std::map<int, BodyProfile>& Bodies() const { return bodies_; }
    // Why the file or some of its bodies were refused, one line each.
    const std::vector<std::string>& Problems() const { return problems_; }
    // Whether a chip of body `index` can be programmed: the profile gives it an
    // OTP size. When not, the operator sees the profile's message, and the
    // reason goes where the profile's other reasons go.
    bool CheckProgrammable(int index);

private:
    void Load(const std::string& profilePath);
    void Report(const std::string& reason);
    const BodyProfile& Current() const;

    int currentIndex_ = 0;
    std::string profilePath_;
    std::map<int, BodyProfile> bodies_;
    std::vector<std::string> problems_;
};

// The lowest body index 1 to 34 whose "BodyType" equals bodyType and whose
// "BodySeries" low byte equals bodySeries, read from a fresh catalogue (the
// profile is read from disk again); 0 when none matches.
int FindBody(uint16_t bodyType, uint8_t bodySeries);

// Reads a decimal integer the way the profile's numbers are read: optional
// blanks and sign, then the leading digits; 0 when there are none; held at
// the ends of the 32-bit range.
int32_t ParseProfileInt(const char* text);

} // namespace image
