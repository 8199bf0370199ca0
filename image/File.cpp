#include "image/File.h"

#include "core/Errors.h"
#include "core/Path.h"
#include "image/Layouts.h"

#include <cctype>
#include <ctime>
#include <fstream>
#include <mutex>
#include <new>

namespace image {
namespace {

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string BaseName(const std::string& path) {
    return core::C_Path(path).GetFileName();
}

// The standard conversion shares one buffer; the images are used from two threads.
std::mutex& LocalTimeLock() {
    static std::mutex lock;
    return lock;
}

} // namespace

C_File::C_File() : result_(&core::SharedResult()) {}

C_File::~C_File() = default;

int C_File::GetLength() {
    if (length_ == 0 && Exists())
        MeasureLength(length_);
    return length_;
}

bool C_File::MeasureLength(int& length) {
    std::ifstream in(path_, std::ios::binary | std::ios::ate);
    if (!in) {
        ReportError("The File \"" + BaseName(path_) + "\" cannot be read!");
        return false;
    }
    const auto end = static_cast<uint64_t>(std::streamoff(in.tellg()));
    if (end > kMaxFileLength) {
        ReportError("The File \"" + BaseName(path_) + "\" is too large!");
        return false;
    }
    length = static_cast<int>(end);
    return true;
}

uint32_t C_File::GetCheckSum() {
    if (!Exists())
        return 0;
    if (checkSum_ == 0) {
        const auto bytes = ContentsSpan();
        checkSum_ = layout::ByteSum(bytes);
    }
    return checkSum_;
}

std::string C_File::GetTimeString() {
    int year = 0, month = 0, day = 0, hour = -1, minute = -1, second = -1;
    const std::time_t seconds = static_cast<std::time_t>(status_.modifiedNs / 1000000000);
    {
        std::lock_guard<std::mutex> hold(LocalTimeLock());
        if (const std::tm* t = std::localtime(&seconds)) {
            year = t->tm_year + 1900;
            month = t->tm_mon + 1;
            day = t->tm_mday;
            hour = t->tm_hour;
            minute = t->tm_min;
            second = t->tm_sec;
        }
    }
    char text[64];
    std::snprintf(text, sizeof text, "%d/%d/%d %d:%d:%d", year, month, day, hour, minute, second);
    return text;
}

int C_File::SetFileName(const std::string& name) {
    if (name.empty()) {
        ReportError("Please input file name!");
        return 0;
    }
    port::FileStatus status{};
    port::GetFileStatus(name, status);
    if (SameName(name, path_) && status.modifiedNs == status_.modifiedNs)
        return 1;
    Close();
    path_ = name;
    status_ = status;
    modified_ = 1;
    return 1;
}

bool C_File::Probe() {
    if (!exists_ && !path_.empty()) {
        port::FileStatus status{};
        if (port::GetFileStatus(path_, status) && !status.isDirectory) {
            std::ifstream in(path_);
            if (in)
                exists_ = 1;
        }
    }
    return exists_ != 0;
}

int C_File::Exists() {
    if (Probe()) {
        // Takes over a change on disk since the file was set: drops the caches.
        // A file that went away since then is missing now, whatever was read.
        const std::string current = path_;
        SetFileName(current);
        if (Probe())
            return 1;
    }
    ReportError("The File \"" + BaseName(path_) + "\" does not exist!");
    return 0;
}

int C_File::IsModified() {
    if (path_.empty())
        return 0;
    port::FileStatus now{};
    port::GetFileStatus(path_, now);
    modified_ = now.modifiedNs != status_.modifiedNs ? 1 : 0;
    return modified_;
}

const uint8_t* C_File::GetContents() {
    if (!contents_) {
        if (!Exists())
            return nullptr;
        // The length is taken afresh: a file too large to hold is refused here,
        // not read as empty.
        int length = 0;
        if (!MeasureLength(length))
            return nullptr;
        std::unique_ptr<uint8_t[]> buffer;
        try {
            buffer = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(length));
        } catch (const std::bad_alloc&) {
            // No memory for the contents: the buffer's own failure.
            ReportError("File Buffer Pointer is Null!");
            return nullptr;
        }
        std::ifstream in(path_, std::ios::binary);
        if (in && length > 0)
            in.read(reinterpret_cast<char*>(buffer.get()), length);
        // A file that cannot be read whole is not handed on in part: it shrank,
        // reading failed, or more follows than its length said (it grew, or it
        // is a device that never ends).
        const bool whole = in && (length == 0 || in.gcount() == length) &&
                           in.peek() == std::ifstream::traits_type::eof();
        if (!whole) {
            ReportError("The File \"" + BaseName(path_) + "\" cannot be read whole!");
            return nullptr;
        }
        length_ = length;
        contents_ = std::move(buffer);
    }
    return contents_.get();
}

std::span<uint8_t> C_File::ContentsSpan() {
    if (!GetContents())
        return {};
    return {contents_.get(), static_cast<size_t>(length_)};
}

void C_File::ReportError(const std::string& message) {
    core::RaiseError<core::C_FileError>(*result_, message.c_str());
}

int C_File::ResetResult() {
    result_ = &core::SharedResult();
    return 1;
}

int C_File::Close() {
    contents_.reset();
    path_.clear();
    length_ = 0;
    checkSum_ = 0;
    exists_ = 0;
    return 1;
}

int C_BinFile::GetPaddedLength() {
    const int length = GetLength();
    return (length + 63) / 64 * 64;
}

std::string C_BinFile::GetFolder() {
    return core::C_Path(GetFileName()).GetDriveDir();
}

} // namespace image
