#include "app/InfoRecordBuilder.h"

#include "app/BurnwrightDlg.h"

#include <cstdlib>
#include <strings.h>

namespace app {
namespace {

constexpr const char* kInfoRecordBodies[] = {
    " KL500 ",       " KS300 ", " KR110 ", " KR130 ",  " KR140 ", " KT210 ", " KT220 ",
    " KT230 ",       " KT240 ", " KT250 ", " KT250S ", " KT260 ", " KT310 ", " KT310-SOP8 ",
    " KT310-SOP14 ", " KT320 ", " KT330 ", " KT700 ",  " KM110 ", " KM120 ", " KM130 ",
    " KM140 ",       " KW110 ", " KW120 ", " KW130 ",  " KW140 ",
};
constexpr const char* kUnsecuredBodies[] = {" KM110 ", " KM120 ", " KM130 ", " KM140 "};

bool SameName(const std::string& a, const char* b) {
    return strcasecmp(a.c_str(), b) == 0;
}

// C's hexadecimal conversion: stops at the first character that is not a
// digit; no digits give 0.
unsigned long Hex(const std::string& text) {
    return std::strtoul(text.c_str(), nullptr, 16);
}

} // namespace

bool IsInfoRecordBody(const std::string& paddedName) {
    for (const char* name : kInfoRecordBodies)
        if (SameName(paddedName, name))
            return true;
    return false;
}

engine::InfoRecord BuildInfoRecord(const InfoRecordInputs& in) {
    engine::InfoRecord r{};
    r[0] = 0xFF;
    for (const char* name : kUnsecuredBodies)
        if (SameName(in.bodyName, name))
            r[0] = 0x00;
    if (in.securityEnabled)
        r[0] = static_cast<uint8_t>(0xF0 | Hex(in.securityDigit));
    r[1] = static_cast<uint8_t>(in.imageCheckSum >> 8);
    r[2] = static_cast<uint8_t>(in.imageCheckSum);

    const std::string version = in.version.empty() ? std::string(kProgramVersion) : in.version;
    const size_t dot = version.rfind('.');
    if (dot == std::string::npos) {
        r[3] = 0;
        r[4] = static_cast<uint8_t>(Hex(version));
    } else {
        r[3] = static_cast<uint8_t>(Hex(version.substr(0, dot)));
        r[4] = static_cast<uint8_t>(Hex(version.substr(dot + 1)));
    }
    r[5] = static_cast<uint8_t>(in.writerVersion[1]);
    r[6] = static_cast<uint8_t>(in.writerVersion[0]);
    r[7] = static_cast<uint8_t>((in.today.year % 100) * 16 + in.today.month);
    // The day's two decimal digits read as hexadecimal: the 25th is 0x25.
    r[8] = static_cast<uint8_t>((in.today.day / 10) * 16 + in.today.day % 10);
    r[9] = r[10] = r[11] = 0xFF;
    if (in.codeNumberEnabled) {
        const unsigned long code = Hex(in.codeNumberText);
        r[12] = static_cast<uint8_t>(code >> 8);
        r[13] = static_cast<uint8_t>(code);
    }
    return r;
}

} // namespace app
