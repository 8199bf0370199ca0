#include "image/OTPBodyProfiler.h"

#include "core/Log.h"
#include "core/MessageHost.h"
#include "image/Acceptance.h"
#include "image/BodyTable.h"
#include "port/ProgramPath.h"
#include "port/XmlElements.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>

namespace image {
namespace {

constexpr int64_t kMin = std::numeric_limits<int32_t>::min();
constexpr int64_t kMax = std::numeric_limits<int32_t>::max();

int32_t Clamp(int64_t value) {
    return static_cast<int32_t>(std::clamp(value, kMin, kMax));
}

constexpr const char* kLoadFailedMessage = "Faild to load OTPBodyProfile.xml !";

void ShowPlain(const char* text) {
    core::ShowMessageBox(text, kPlainBoxCaption, core::kMbOk);
}

void ToStandardError(const std::string& reason) {
    std::fprintf(stderr, "burnwright: %s\n", reason.c_str());
}

ProfileReasonSink reasonSink = &ToStandardError;

} // namespace

ProfileReasonSink SetProfileReasonSink(ProfileReasonSink sink) {
    const ProfileReasonSink old = reasonSink;
    reasonSink = sink ? sink : &ToStandardError;
    return old;
}

int32_t ParseProfileInt(const char* text) {
    if (!text)
        return 0;
    while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r')
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    int64_t value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*text)); ++text) {
        value = value * 10 + (*text - '0');
        if (value > kMax + 1)
            value = kMax + 1; // held: further digits cannot bring it back
    }
    return Clamp(negative ? -value : value);
}

C_OTPBodyProfiler::C_OTPBodyProfiler() {
    const std::string program = port::ModuleFileName();
    if (program.empty()) {
        ShowPlain("Error!");
        return;
    }
    Load(port::ModuleFolder() + kProfileFileName);
}

C_OTPBodyProfiler::C_OTPBodyProfiler(const std::string& profilePath) {
    Load(profilePath);
}

void C_OTPBodyProfiler::Report(const std::string& reason) {
    problems_.push_back(reason);
    core::C_LogFunc().Write(reason);
    reasonSink(reason);
}

void C_OTPBodyProfiler::Load(const std::string& profilePath) {
    profilePath_ = profilePath;
    std::ifstream in(profilePath, std::ios::binary);
    std::ostringstream read;
    if (in)
        read << in.rdbuf();
    if (!in) {
        Report(profilePath + ": cannot be read: " + std::strerror(errno));
        ShowPlain(kLoadFailedMessage);
        return;
    }
    std::vector<port::XmlElement> elements;
    port::XmlError error;
    if (!port::ReadXmlElements(read.str(), "Body", elements, error)) {
        Report(profilePath + ", line " + std::to_string(error.line) + ": " + error.description);
        ShowPlain(kLoadFailedMessage);
        return;
    }
    bool refused = false;
    for (const port::XmlElement& body : elements) {
        auto attribute = [&](const char* name) -> const char* {
            const auto it = body.attributes.find(name);
            return it == body.attributes.end() ? nullptr : it->second.c_str();
        };
        auto number = [&](const char* name) { return ParseProfileInt(attribute(name)); };
        BodyProfile entry;
        const int32_t id = number("BodyID");
        const int32_t otpSize = number("OTPSize");
        // Sizes in bytes, before they are held to 32 bits. The read-back size
        // is a product of two attributes: held far beyond the bound first.
        const int64_t readBackKb = int64_t{number("OTPBinSize")} * otpSize;
        constexpr int64_t kFar = int64_t{1} << 40;
        const struct {
            const char* attribute;
            int64_t bytes;
        } sizes[] = {{"BinSize", int64_t{number("BinSize")} * 2048},
                     {"RomSize", int64_t{number("RomSize")} * 1024},
                     {"OTPSize", int64_t{otpSize} * 1024},
                     {"OTPBinSize", std::clamp(readBackKb, -kFar, kFar) * 1024}};
        bool fits = true;
        for (const auto& size : sizes) {
            if (size.bytes >= 0 && size.bytes <= static_cast<int64_t>(kMaxBodyBytes))
                continue;
            const char* given = attribute(size.attribute);
            Report(profilePath + ", line " + std::to_string(body.line) + ": body " +
                   std::to_string(id) + ": " + size.attribute + "=\"" + (given ? given : "") +
                   "\" makes a size outside 0 to " + std::to_string(kMaxBodyBytes) +
                   " bytes; the body's sizes read as 0");
            fits = false;
            break;
        }
        if (fits) {
            entry.binSize = Clamp(sizes[0].bytes);
            entry.romSize = Clamp(sizes[1].bytes);
            entry.otpSize = Clamp(sizes[2].bytes);
            entry.otpBinSize = Clamp(readBackKb);
        }
        refused = refused || !fits;
        entry.fwBody = number("FwBody");
        const char* comboName = attribute("ComboName");
        entry.comboName = comboName ? comboName : "";
        entry.bodySeries = number("BodySeries");
        entry.bodyType = number("BodyType");
        bodies_[id] = std::move(entry);
    }
    if (refused)
        ShowPlain(kLoadFailedMessage);
}

bool C_OTPBodyProfiler::CheckProgrammable(int index) {
    const BodyProfile* entry = Find(index);
    if (entry && entry->otpSize > 0)
        return true;
    Report(profilePath_ + ": body " + std::to_string(index) +
           (entry ? " \"" + entry->comboName + "\"" : std::string()) +
           " has no OTP size (OTPSize); it cannot be programmed");
    ShowPlain(kLoadFailedMessage);
    return false;
}

const BodyProfile* C_OTPBodyProfiler::Find(int index) const {
    const auto it = bodies_.find(index);
    return it == bodies_.end() ? nullptr : &it->second;
}

std::string C_OTPBodyProfiler::GetComboName(int index) const {
    const BodyProfile* entry = Find(index);
    return entry ? entry->comboName : std::string();
}

const BodyProfile& C_OTPBodyProfiler::Current() const {
    static const BodyProfile absent;
    const BodyProfile* entry = Find(currentIndex_);
    return entry ? *entry : absent;
}

int FindBody(uint16_t bodyType, uint8_t bodySeries) {
    const C_OTPBodyProfiler catalogue;
    for (int index = kFirstBody; index <= kLastBody; ++index) {
        const BodyProfile* entry = catalogue.Find(index);
        if (entry && entry->bodyType == bodyType && (entry->bodySeries & 0xFF) == bodySeries)
            return index;
    }
    return 0;
}

} // namespace image
