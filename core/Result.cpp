#include "core/Result.h"

#include <algorithm>
#include <atomic>
#include <iterator>

namespace core {
namespace {

// Texts are exact, trailing blanks and double spaces included.
constexpr CodeTextEntry kCodeTable[] = {
    {100, "Can't open file"},
    {101, "Can't open binary file. Please re-build it or check it !"},
    {200, "USB write is failed!"},
    {201, "USB read is failed!"},
    {202, "USB Device can't be link !"},
    {203, "MERiL ICE resource has been occupied by other process !"},
    {204, "WIRELIB.DLL can't be opened !"},
    {300, "Update firmware Of MCU is failed !"},
    {301, "Get version Of firmware Of MCU is failed !"},
    {302, "Bin file version is too old and can not be updated !"},
    {303, "MCU firmware check sum fail !"},
    {2001, "Read done data is wrong !"},
    {2002, "ICE download is failed !"},
    {2003, "ICE verify device is failed !"},
    {2004, "Detect the device once lost the power source! Please re-download it."},
    {2005, "Add break point is failed !"},
    {2006, "Count of break point is full !"},
    {2008, "Remove break point is failed !"},
    {2010, "Single step is failed !"},
    {2011, "Pause is failed !"},
    {2012, "ICE check ready timeout! Please reset ICE."},
    {2013, "Flash read ID failed !"},
    {2014, "Flash writer can't support this type !"},
    {2015, "Flash erase Failed !"},
    {2016, "Flash program failed !"},
    {2017, "Step out failed !"},
    {2018, "MCU can't know the protocol !"},
    {2019, "Can't Know this ICE body type !"},
    {2020, "Download size is zero !"},
    {2021, "ICE download external code failed !"},
    {2022, "ICE erase SPI Flash failed !"},
    {2023, "Erase failed! Flash is not empty!"},
    {2024, "Verify rom data failed !"},
    {2025, "Sector erase timeout! "},
    {2026, "The External Flash size is not big enough! "},
    {2027, "The SPI Flash is protect mode! "},
    {2028, "Access External Flash status timeout!"},
    {2029, "The check sum of rom data is not correct! Please re-download it."},
    {2030, "ICE error happened! Please reset ICE."},
    {2031, "ICE check ready timeout when initial external device! Please reset ICE."},
    {2032, "ICE check ready timeout when sector erase external device! Please reset ICE."},
    {2033, "ICE check ready timeout when program external device!  Please reset ICE."},
    {2034, "ICE check ready timeout when verify external device!  Please reset ICE."},
    {2035, "Verify external device failed! Please reset ICE."},
    {2036, "ICE check ready timeout when set program address! Please reset ICE."},
    {2037, "The firmware of USB board is replaced, please download again!"},
    {2038, "Select the wrong IC,Please check!"},
    {3001, "OTP error!"},
};

std::atomic<bool> errorRaising{false};

} // namespace

const CodeTextEntry* CodeTable(size_t& count) {
    count = std::size(kCodeTable);
    return kCodeTable;
}

std::string CodeText(int32_t code) {
    const auto* end = std::end(kCodeTable);
    const auto* it = std::lower_bound(std::begin(kCodeTable), end, code,
                                      [](const CodeTextEntry& e, int32_t c) { return e.code < c; });
    if (it != end && it->code == code)
        return it->text;
    return "ICE DLL Error(" + std::to_string(code) + ")!";
}

C_ResultCodes::C_ResultCodes(int32_t code, const char* text)
    : code_(code), message_(text ? std::string(text) : CodeText(code)) {}

C_ResultCodes::C_ResultCodes(const std::string& text) : code_(kFreeTextCode), message_(text) {}

const std::string& C_ResultCodes::GetMessage() {
    if (code_ != 0 && message_.empty())
        message_ = CodeText(code_);
    return message_;
}

void C_ResultCodes::Clear() {
    code_ = 0;
    message_.clear();
}

void C_Result::SetMessage(const char* text) {
    if (text)
        SetResult(kFreeTextCode, text);
}

C_ResultCodes& C_Result::GetCodes() {
    if (!codes_)
        codes_ = std::make_shared<C_ResultCodes>();
    return *codes_;
}

void C_Result::SetResult(int32_t code, const char* text) {
    C_ResultCodes& codes = GetCodes();
    if (code == 0)
        return;
    codes.SetCode(code);
    if (text)
        codes.SetMessage(text);
    else
        codes.SetMessage(CodeText(code).c_str());
}

std::shared_ptr<C_ResultCodes> C_Result::SharedCodes() {
    GetCodes();
    return codes_;
}

C_Result& SharedResult() {
    static C_Result shared;
    return shared;
}

bool IsErrorRaisingOn() {
    return errorRaising.load();
}
void SetErrorRaising(bool on) {
    errorRaising.store(on);
}

} // namespace core
