// Error objects: a result's record wrapped so that it can travel as an
// exception. Raised only while the error-raising switch is on.
#pragma once

#include "core/Result.h"

#include <exception>
#include <memory>
#include <string>

namespace core {

class C_BasicError : public C_Result, public std::exception {
public:
    // Adopts the record of the component's result: both show the same code
    // and message from then on, and a change on either side is seen by both.
    explicit C_BasicError(C_Result& componentResult) { AdoptCodes(componentResult); }

    virtual void AdoptCodes(C_Result& face) { SetCodes(face.SharedCodes()); }
    virtual void SetMessageString(const std::string& text) { SetMessage(text.c_str()); }
    virtual std::string GetMessageString() { return GetCodes().GetMessage(); }
    // A modal box with the record's message, caption "Error" and the error
    // icon; returns the box's answer.
    virtual int ShowMessage();
    // The framework's error report: the same box.
    virtual int ReportError() { return ShowMessage(); }

    const char* what() const noexcept override;

private:
    mutable std::string whatText_;
};

class C_OTPError : public C_BasicError {
public:
    using C_BasicError::C_BasicError;
};

class C_USBError : public C_BasicError {
public:
    using C_BasicError::C_BasicError;
};

class C_FileError : public C_BasicError {
public:
    using C_BasicError::C_BasicError;
};

// Records `text` as free text on `result`; when the error-raising switch is
// on, also throws a new ErrorClass built on that result, by pointer (the
// catcher owns it). Callers return failure after it.
template <typename ErrorClass> void RaiseError(C_Result& result, const char* text) {
    result.SetMessage(text);
    if (IsErrorRaisingOn())
        throw new ErrorClass(result);
}

} // namespace core
