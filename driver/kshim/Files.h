// The file-object layer: opens an interface path plus a pipe name and turns
// reads, writes, control requests, cancellation and close into IRPs, the way a
// program reaches a driver. Also device-interface enumeration and arrival and
// removal notifications.
#pragma once

#include "driver/kshim/Host.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kshim {

struct FileState;

// One read, write or control request in flight.
class IoRequest : public std::enable_shared_from_this<IoRequest> {
public:
    bool Done() const;
    // Blocks until the driver completes the request; returns its status.
    NTSTATUS Wait();
    // False when the request is still pending after `limit` of real time.
    bool WaitFor(std::chrono::milliseconds limit);
    NTSTATUS Status() const;
    ULONG_PTR Information() const;
    // Blocks until the driver completes the request; its status and
    // information, read together.
    IO_STATUS_BLOCK WaitResult();
    // Asks the driver to cancel it (IoCancelIrp); true when a cancel routine ran.
    bool Cancel();
    // Runs `done` once the request completes (at once when it already has), on
    // the completing thread, like an overlapped event being set.
    void OnDone(std::function<void()> done);

private:
    friend class FileHandle;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::function<void()> onDone_;
    // Set (under mu_) once status_ holds the final result; read without the
    // lock by those that only look.
    std::atomic<bool> done_{false};
    IO_STATUS_BLOCK status_{};
    PIRP irp_ = nullptr;
    // Until the request completes: its file, its place among the file's
    // requests in flight, and the buffer the kernel owns for it.
    std::shared_ptr<FileState> file_;
    IoRequest* prev_ = nullptr;
    IoRequest* next_ = nullptr;
    std::vector<uint8_t> system_;
    void* output_ = nullptr;
    ULONG outputLength_ = 0;
    bool buffered_ = false;
    UCHAR major_ = 0;
};

// Handles must be closed (or destroyed) while the Kernel still exists.
class FileHandle {
public:
    // Opens `path`: an enabled interface path ("\??\..." or "\\?\...") followed
    // by the name the driver sees, e.g. "...{guid}\PIPE01". Blocks for IRP_MJ_CREATE.
    static NTSTATUS Open(const std::string& path, std::unique_ptr<FileHandle>* handle);
    ~FileHandle();
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    // Start a request; the buffers must live until it completes.
    std::shared_ptr<IoRequest> Read(void* buffer, ULONG length);
    std::shared_ptr<IoRequest> Write(const void* buffer, ULONG length);
    std::shared_ptr<IoRequest> Control(ULONG code, const void* input, ULONG inputLength,
                                       void* output, ULONG outputLength);
    // Cancels every request of this handle still in flight.
    void CancelIo();
    // IRP_MJ_CLEANUP now, IRP_MJ_CLOSE once no request of the handle is in flight.
    NTSTATUS Close();
    PFILE_OBJECT FileObject() const;

private:
    explicit FileHandle(std::shared_ptr<FileState> state) : state_(std::move(state)) {}
    std::shared_ptr<IoRequest> Start(UCHAR major, ULONG code, const void* input, ULONG inputLength,
                                     void* output, ULONG outputLength);
    std::shared_ptr<FileState> state_;
};

// Enabled interface paths of a class, like the system's interface enumeration.
std::vector<std::string> InterfacePaths(const GUID& guid);

// Calls `notify` on a kernel thread for each arrival (true) and removal (false)
// of an interface, in order, until destroyed.
class InterfaceWatch {
public:
    explicit InterfaceWatch(
        std::function<void(bool arrival, const std::string& path, const GUID& guid)> notify);
    ~InterfaceWatch();
    InterfaceWatch(const InterfaceWatch&) = delete;
    InterfaceWatch& operator=(const InterfaceWatch&) = delete;

private:
    int id_;
};

} // namespace kshim
