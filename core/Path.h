// A file path in four parts: drive, directory, file name, extension. Both '/'
// and '\' separate folders, on every platform, so a path written on Windows
// splits the same way everywhere. Parts and paths of any length are kept
// whole: a cut path would name another file or folder.
#pragma once

#include <string>

namespace core {

class C_Path {
public:
    C_Path() = default;
    explicit C_Path(const std::string& fullPath) : full_(fullPath) { SplitPath(); }
    virtual ~C_Path() = default;

    // Replace one part; only SetExt rebuilds the full path at once.
    virtual void SetDrive(const std::string& drive) { drive_ = drive; }
    virtual void SetDir(const std::string& dir) { dir_ = dir; }
    virtual void SetFileName(const std::string& name) { name_ = name; }
    virtual void SetExt(const std::string& ext);

    // Rebuilt from the four parts.
    virtual std::string GetFullPath();
    virtual std::string GetDrive() const { return drive_; }
    virtual std::string GetDir() const { return dir_; }
    virtual std::string GetFileName() const { return name_; }
    virtual std::string GetExt() const { return ext_; }
    virtual std::string GetDriveDir() const { return drive_ + dir_; }
    virtual std::string GetFileNameExt() const { return name_ + ext_; }

    // Joins the parts (a colon after a bare drive letter, a separator after a
    // directory that lacks one, a dot before an extension that lacks one),
    // stores the result as the full path and splits it again.
    virtual void MakePath(const std::string& drive, const std::string& dir, const std::string& name,
                          const std::string& ext);
    // Drive: "X:" when the path starts with a letter and a colon. Directory: up
    // to the last separator. Extension: from the last dot of what follows.
    virtual void SplitPath();

private:
    std::string full_, drive_, dir_, name_, ext_;
};

} // namespace core
