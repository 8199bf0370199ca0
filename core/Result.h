// Results: every component that can fail records a code and a message on its
// result object and returns 0; the caller reads the message from there.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace core {

// Code of a result whose message is free text rather than a table entry.
constexpr int32_t kFreeTextCode = 65535;

// The codes the program records, by name. Their texts are in the code table.
enum ResultCode : int32_t {
    kCodeNone = 0,
    kCodeCantOpenFile = 100,
    kCodeCantOpenBinaryFile = 101,
    kCodeUsbWriteFailed = 200,
    kCodeUsbReadFailed = 201,
    kCodeUsbCantLink = 202,
    kCodeUsbOccupied = 203,
    kCodeWirelibCantOpen = 204,
    kCodeFirmwareUpdateFailed = 300,
    kCodeFirmwareVersionFailed = 301,
    kCodeFirmwareFileTooOld = 302,
    kCodeFirmwareCheckSumFailed = 303,
    kCodeOtpError = 3001,
};

// The fixed text of `code`, or "ICE DLL Error(<code>)!" for a code outside the table.
std::string CodeText(int32_t code);

// One row of the code table, for the self-check that walks it.
struct CodeTextEntry {
    int32_t code;
    const char* text;
};
// The whole table, ascending by code.
const CodeTextEntry* CodeTable(size_t& count);

class I_StandardFace {
public:
    virtual ~I_StandardFace() = default;
};

class I_ResultCodes : public I_StandardFace {
public:
    virtual int32_t GetCode() const = 0;
    virtual const std::string& GetMessage() = 0;
    virtual void SetCode(int32_t code) = 0;
    virtual void SetMessage(const char* text = nullptr) = 0;
    virtual void Clear() = 0;
};

// The record a result carries: a code (0 = no error) and its message.
class C_ResultCodes : public I_ResultCodes {
public:
    C_ResultCodes() = default;
    // The text when given, else the table text of `code`.
    explicit C_ResultCodes(int32_t code, const char* text = nullptr);
    // Free text: code 65535.
    explicit C_ResultCodes(const std::string& text);

    int32_t GetCode() const override { return code_; }
    // Fills an empty message of a non-zero code from the table first.
    const std::string& GetMessage() override;
    void SetCode(int32_t code) override { code_ = code; }
    void SetMessage(const char* text = nullptr) override { message_ = text ? text : ""; }
    void Clear() override;

private:
    int32_t code_ = 0;
    std::string message_;
};

class C_Result;

class I_Result : public I_StandardFace {
public:
    virtual void SetCodes(std::shared_ptr<C_ResultCodes> codes) = 0;
    virtual void SetMessage(const char* text) = 0;
    virtual C_ResultCodes& GetCodes() = 0;
};

// A result refers to a record that may be shared: every error raised from a
// result, and by default every component, refers to the same record. A record
// lives as long as anything refers to it.
class C_Result : public I_Result {
public:
    C_Result() = default;
    explicit C_Result(int32_t code, const char* text = nullptr) { SetResult(code, text); }

    void SetCodes(std::shared_ptr<C_ResultCodes> codes) override { codes_ = std::move(codes); }
    // With a text: SetResult(65535, text). Without: nothing.
    void SetMessage(const char* text) override;
    // Creates an empty record when there is none.
    C_ResultCodes& GetCodes() override;
    // Code 0 changes nothing; otherwise sets the code and the text, or the
    // table text of the code when no text is given.
    virtual void SetResult(int32_t code, const char* text = nullptr);
    // Drops the reference; the record lives on wherever else it is held.
    virtual void DetachCodes() { codes_.reset(); }

    // The record itself, for sharing it with another result.
    std::shared_ptr<C_ResultCodes> SharedCodes();

    // Shorthands for GetCodes().GetCode() / GetMessage().
    int32_t Code() { return GetCodes().GetCode(); }
    const std::string& Message() { return GetCodes().GetMessage(); }

private:
    std::shared_ptr<C_ResultCodes> codes_;
};

// The one result that every component records into unless pointed elsewhere.
C_Result& SharedResult();

// The process-wide switch that makes RaiseError throw. It starts off, and no
// operation of the program turns it on.
bool IsErrorRaisingOn();
void SetErrorRaising(bool on);

} // namespace core
