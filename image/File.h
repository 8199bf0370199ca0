// Files on disk with lazily cached length, byte checksum and contents, and the
// change detection by modification time. A cached value of 0 means "not
// computed yet". Errors are recorded on the file's result object (by default
// the shared one) and the operation returns 0 / null.
#pragma once

#include "core/Result.h"
#include "port/FileStatus.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace image {

// Files longer than this are refused: lengths are ints throughout.
constexpr uint64_t kMaxFileLength = 0x7FFFFFFF;

class C_File {
public:
    C_File();
    virtual ~C_File();
    C_File(const C_File&) = delete;
    C_File& operator=(const C_File&) = delete;

    // Length in bytes; 0 when the file does not exist.
    virtual int GetLength();
    // Sum of all bytes (32-bit); 0 when the file does not exist.
    virtual uint32_t GetCheckSum();
    virtual std::string GetFileName() const { return path_; }
    // Modification time in local time, "year/month/day hour:minute:second";
    // "0/0/0 -1:-1:-1" when it cannot be converted.
    virtual std::string GetTimeString();
    // Takes a new file: an empty name is refused with "Please input file name!".
    // The same name (case-insensitive) with an unchanged modification time
    // keeps every cache; anything else closes first and marks the file modified.
    virtual int SetFileName(const std::string& name);
    // 1 when the file can be opened; then takes over a change on disk (see
    // SetFileName). Reports "The File "<base name>" does not exist!" otherwise,
    // also for a file that was there when it was set or read and is gone now.
    virtual int Exists();
    // Whether the file's modification time differs from the snapshot (stored).
    virtual int IsModified();
    virtual void ClearModified() { modified_ = 0; }
    // The whole file, read on first use; null (with the reason reported) when
    // it cannot be read whole: too large, shrunk or grown while read, or a
    // device with no end.
    virtual const uint8_t* GetContents();
    // Records `message` on the result object (raising C_FileError when the
    // error-raising switch is on).
    virtual void ReportError(const std::string& message);
    // Points the result back at the shared default.
    virtual int ResetResult();
    // Drops the contents, the path and the cached length, checksum and existence.
    virtual int Close();

    // Where errors go from now on (not owned).
    void SetResultObject(core::C_Result& result) { result_ = &result; }
    core::C_Result& ResultObject() { return *result_; }

    // GetContents as a span of GetLength bytes; empty when there are none.
    std::span<uint8_t> ContentsSpan();

private:
    // Whether the file can be opened; sets `exists_` once it could.
    bool Probe();
    // The length on disk; false (reported) when it cannot be taken or exceeds
    // kMaxFileLength.
    bool MeasureLength(int& length);

    std::string path_;
    port::FileStatus status_{};
    int modified_ = 0;
    uint32_t checkSum_ = 0;
    int length_ = 0;
    std::unique_ptr<uint8_t[]> contents_;
    int exists_ = 0;
    core::C_Result* result_;
};

class C_BinFile : public C_File {
public:
    // GetLength rounded up to a multiple of 64.
    virtual int GetPaddedLength();
    // Drive and folder of the path, with the trailing separator.
    virtual std::string GetFolder();
};

} // namespace image
