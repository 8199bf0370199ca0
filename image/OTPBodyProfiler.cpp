#include "image/OTPBodyProfiler.h"

#include "core/MessageHost.h"
#include "image/Acceptance.h"
#include "image/BodyTable.h"
#include "port/ProgramPath.h"
#include "port/XmlElements.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <vector>

namespace image {
namespace {

constexpr int64_t kMin = std::numeric_limits<int32_t>::min();
constexpr int64_t kMax = std::numeric_limits<int32_t>::max();

int32_t Clamp(int64_t value) {
    return static_cast<int32_t>(std::clamp(value, kMin, kMax));
}

void ShowPlain(const char* text) {
    core::ShowMessageBox(text, kPlainBoxCaption, core::kMbOk);
}

} // namespace

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

void C_OTPBodyProfiler::Load(const std::string& profilePath) {
    std::vector<port::XmlAttributes> elements;
    if (!port::ReadXmlElements(profilePath, "Body", elements)) {
        ShowPlain("Faild to load OTPBodyProfile.xml !");
        return;
    }
    for (const port::XmlAttributes& body : elements) {
        auto number = [&](const char* name) {
            const auto it = body.find(name);
            return it == body.end() ? 0 : ParseProfileInt(it->second.c_str());
        };
        auto text = [&](const char* name) {
            const auto it = body.find(name);
            return it == body.end() ? std::string() : it->second;
        };
        BodyProfile entry;
        const int32_t id = number("BodyID");
        const int32_t otpSize = number("OTPSize");
        entry.binSize = Clamp(int64_t{number("BinSize")} * 2048);
        entry.romSize = Clamp(int64_t{number("RomSize")} * 1024);
        entry.otpSize = Clamp(int64_t{otpSize} * 1024);
        entry.otpBinSize = Clamp(int64_t{number("OTPBinSize")} * otpSize);
        entry.fwBody = number("FwBody");
        entry.comboName = text("ComboName");
        entry.bodySeries = number("BodySeries");
        entry.bodyType = number("BodyType");
        bodies_[id] = std::move(entry);
    }
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
