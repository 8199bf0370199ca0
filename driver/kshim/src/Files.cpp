// The file-object layer and interface enumeration.
#include "driver/kshim/Files.h"

#include "driver/kshim/src/State.h"

#include "driver/kshim/src/Schedule.h"

#include <algorithm>

namespace kshim {

struct FileState {
    FILE_OBJECT object{};
    std::u16string name;
    PDEVICE_OBJECT top = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    std::mutex mu;
    // Requests started and not yet complete, oldest first (under mu).
    IoRequest* inFlight = nullptr;
    IoRequest* inFlightTail = nullptr;
    int outstanding = 0;
    bool cleaned = false;
    bool closed = false;
};

namespace {

// The request this thread is starting: one that completes before Start has
// returned it has no waiter and no handler yet, so its end needs no lock.
thread_local IoRequest* t_starting = nullptr;

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when `path` begins with the link (given in lower case) without regard
// to case. Paths are mostly given in lower case already: that is tried first.
bool StartsWithLink(std::string_view path, std::string_view lowerLink) {
    if (lowerLink.empty() || path.size() < lowerLink.size())
        return false;
    if (path.compare(0, lowerLink.size(), lowerLink) == 0)
        return true;
    for (size_t i = 0; i < lowerLink.size(); ++i)
        if (LowerAscii(path[i]) != lowerLink[i])
            return false;
    return true;
}

// Interface paths reach user mode as "\\?\..." and the kernel names them
// "\??\...": both are compared past that four-character prefix, without a copy.
constexpr std::string_view kKernelPrefix = "\\??\\";
constexpr std::string_view kUserPrefix = "\\\\?\\";

NTSTATUS SendFileRequest(const std::shared_ptr<FileState>& file, UCHAR major) {
    PIRP irp = NewIrp(file->top->StackSize, IrpOrigin::Kernel);
    irp->Tail.Overlay.OriginalFileObject = &file->object;
    irp->RequestorMode = UserMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = &file->object;
    return SendAndWait(file->top, irp, nullptr);
}

void FinishClose(const std::shared_ptr<FileState>& file) {
    SendFileRequest(file, IRP_MJ_CLOSE);
    RecordOf(file->pdo)->openFiles.fetch_sub(1, std::memory_order_acq_rel);
}

} // namespace

bool IoRequest::Done() const {
    return done_.load(std::memory_order_acquire);
}

NTSTATUS IoRequest::Wait() {
    if (done_.load(std::memory_order_acquire))
        return status_.Status;
    std::unique_lock<std::mutex> guard(mu_);
    sched::Wait(guard, cv_, [this] { return done_.load(); });
    return status_.Status;
}

IO_STATUS_BLOCK IoRequest::WaitResult() {
    // A complete request's result is final: read without the lock.
    if (done_.load(std::memory_order_acquire))
        return status_;
    std::unique_lock<std::mutex> guard(mu_);
    sched::Wait(guard, cv_, [this] { return done_.load(); });
    return status_;
}

bool IoRequest::WaitFor(std::chrono::milliseconds limit) {
    // Most requests are complete by now: the clock is read only to wait.
    if (done_.load(std::memory_order_acquire))
        return true;
    std::unique_lock<std::mutex> guard(mu_);
    return cv_.wait_for(guard, limit, [this] { return done_.load(); });
}

NTSTATUS IoRequest::Status() const {
    std::lock_guard<std::mutex> guard(mu_);
    return done_ ? status_.Status : STATUS_PENDING;
}

ULONG_PTR IoRequest::Information() const {
    std::lock_guard<std::mutex> guard(mu_);
    return status_.Information;
}

void IoRequest::OnDone(std::function<void()> done) {
    {
        std::lock_guard<std::mutex> guard(mu_);
        if (!done_) {
            onDone_ = std::move(done);
            return;
        }
    }
    done();
}

bool IoRequest::Cancel() {
    PIRP irp;
    {
        std::lock_guard<std::mutex> guard(mu_);
        if (done_)
            return false;
        irp = irp_;
    }
    return IoCancelIrp(irp) != FALSE;
}

NTSTATUS FileHandle::Open(const std::string& path, std::unique_ptr<FileHandle>* handle) {
    State& s = Current();
    std::string_view given = path;
    const bool prefixed = given.substr(0, 4) == kUserPrefix || given.substr(0, 4) == kKernelPrefix;
    if (prefixed)
        given.remove_prefix(4);
    PDEVICE_OBJECT pdo = nullptr;
    std::string_view rest;
    {
        std::lock_guard<std::mutex> guard(s.mu);
        for (const InterfaceRecord& entry : s.interfaces) {
            std::string_view link = entry.lowerLink;
            // A link without the kernel's prefix matches a path without one.
            if (link.substr(0, 4) == kKernelPrefix) {
                if (!prefixed)
                    continue;
                link.remove_prefix(4);
            } else if (prefixed) {
                continue;
            }
            if (entry.enabled && !entry.lowerLink.empty() && StartsWithLink(given, link)) {
                std::string_view suffix = given.substr(link.size());
                if (suffix.empty() || suffix[0] == '\\') {
                    pdo = entry.pdo;
                    rest = suffix;
                    break;
                }
            }
        }
    }
    if (!pdo)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    auto file = std::make_shared<FileState>();
    file->pdo = pdo;
    file->top = TopOfStack(pdo);
    file->name = Widen(rest);
    file->object.Type = 5;
    file->object.Size = sizeof(FILE_OBJECT);
    file->object.DeviceObject = pdo;
    file->object.FileName.Buffer = file->name.data();
    file->object.FileName.Length = static_cast<USHORT>(file->name.size() * sizeof(WCHAR));
    file->object.FileName.MaximumLength = file->object.FileName.Length;
    file->object.ReadAccess = file->object.WriteAccess = TRUE;
    NTSTATUS status = SendFileRequest(file, IRP_MJ_CREATE);
    if (!NT_SUCCESS(status))
        return status;
    RecordOf(pdo)->openFiles.fetch_add(1, std::memory_order_acq_rel);
    handle->reset(new FileHandle(std::move(file)));
    return status;
}

FileHandle::~FileHandle() {
    Close();
}

PFILE_OBJECT FileHandle::FileObject() const {
    return &state_->object;
}

std::shared_ptr<IoRequest> FileHandle::Read(void* buffer, ULONG length) {
    return Start(IRP_MJ_READ, 0, nullptr, 0, buffer, length);
}

std::shared_ptr<IoRequest> FileHandle::Write(const void* buffer, ULONG length) {
    return Start(IRP_MJ_WRITE, 0, buffer, length, nullptr, 0);
}

std::shared_ptr<IoRequest> FileHandle::Control(ULONG code, const void* input, ULONG inputLength,
                                               void* output, ULONG outputLength) {
    return Start(IRP_MJ_DEVICE_CONTROL, code, input, inputLength, output, outputLength);
}

std::shared_ptr<IoRequest> FileHandle::Start(UCHAR major, ULONG code, const void* input,
                                             ULONG inputLength, void* output, ULONG outputLength) {
    auto request = std::make_shared<IoRequest>();
    IoRequest* req = request.get();
    FileState* file = state_.get();
    req->major_ = major;

    // The buffer the kernel owns for this request: a copy (buffered), or an
    // MDL made with the request (direct).
    ULONG flags = file->top->Flags;
    void* mdlAddress = nullptr;
    ULONG mdlLength = 0;
    if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
        void* user = major == IRP_MJ_READ ? output : const_cast<void*>(input);
        ULONG length = major == IRP_MJ_READ ? outputLength : inputLength;
        if ((flags & DO_DIRECT_IO) && length) {
            mdlAddress = user;
            mdlLength = length;
        }
    } else if ((METHOD_FROM_CTL_CODE(code) == METHOD_IN_DIRECT ||
                METHOD_FROM_CTL_CODE(code) == METHOD_OUT_DIRECT) &&
               outputLength) {
        mdlAddress = output;
        mdlLength = outputLength;
    }
    PIRP irp = NewIrp(file->top->StackSize, IrpOrigin::Kernel, mdlAddress, mdlLength);
    irp->Tail.Overlay.OriginalFileObject = &file->object;
    irp->RequestorMode = UserMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = &file->object;

    if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
        void* user = major == IRP_MJ_READ ? output : const_cast<void*>(input);
        ULONG length = major == IRP_MJ_READ ? outputLength : inputLength;
        next->Parameters.Read.Length = length;
        // Direct I/O has its MDL already.
        if (!(flags & DO_DIRECT_IO) && (flags & DO_BUFFERED_IO) && length) {
            req->system_.assign(length, 0);
            if (major == IRP_MJ_WRITE)
                std::memcpy(req->system_.data(), user, length);
            irp->AssociatedIrp.SystemBuffer = req->system_.data();
            if (major == IRP_MJ_READ) {
                req->buffered_ = true;
                req->output_ = output;
                req->outputLength_ = length;
            }
        } else if (!(flags & (DO_DIRECT_IO | DO_BUFFERED_IO))) {
            irp->UserBuffer = user;
        }
    } else {
        next->Parameters.DeviceIoControl.IoControlCode = code;
        next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
        next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        switch (METHOD_FROM_CTL_CODE(code)) {
        case METHOD_BUFFERED: {
            ULONG size = std::max(inputLength, outputLength);
            if (size) {
                req->system_.assign(size, 0);
                if (input && inputLength)
                    std::memcpy(req->system_.data(), input, inputLength);
                irp->AssociatedIrp.SystemBuffer = req->system_.data();
            }
            req->buffered_ = true;
            req->output_ = output;
            req->outputLength_ = outputLength;
            break;
        }
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
            if (inputLength) {
                req->system_.assign(static_cast<const uint8_t*>(input),
                                    static_cast<const uint8_t*>(input) + inputLength);
                irp->AssociatedIrp.SystemBuffer = req->system_.data();
            }
            break;
        default:
            next->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
            irp->UserBuffer = output;
            break;
        }
    }
    // The request joins its file's list with its IRP set: another thread's
    // CancelIo may cancel it from then on.
    request->irp_ = irp;
    {
        std::lock_guard<std::mutex> guard(file->mu);
        if (!file->cleaned) {
            file->outstanding++;
            req->prev_ = file->inFlightTail;
            if (file->inFlightTail)
                file->inFlightTail->next_ = req;
            else
                file->inFlight = req;
            file->inFlightTail = req;
            req->file_ = state_;
        }
    }
    if (!req->file_) {
        DiscardIrp(irp);
        request->irp_ = nullptr;
        request->done_ = true;
        request->status_.Status = STATUS_INVALID_HANDLE;
        return request;
    }
    // The kernel keeps the request alive until this has run; by then the
    // request is retired and its MDL freed.
    IrpRecord* record = RecordOf(irp);
    record->keep = request;
    record->retireAtFinal = true;
    record->onFinal = [req](PIRP done) {
        IO_STATUS_BLOCK status = done->IoStatus;
        if (req->buffered_ && req->output_ && NT_SUCCESS(status.Status)) {
            ULONG_PTR bytes = status.Information;
            if (bytes > req->outputLength_) {
                Current().Violate(Check::OutputOverrun,
                                  "major " + Hex(req->major_) + " reported " +
                                      std::to_string(bytes) + " bytes into a " +
                                      std::to_string(req->outputLength_) + "-byte buffer");
                bytes = req->outputLength_;
            }
            std::memcpy(req->output_, req->system_.data(), bytes);
        }
        if (t_starting == req) {
            req->status_ = status;
            req->done_.store(true, std::memory_order_release);
        } else {
            std::function<void()> notify;
            {
                std::lock_guard<std::mutex> guard(req->mu_);
                req->status_ = status;
                req->done_.store(true, std::memory_order_release);
                notify = std::move(req->onDone_);
                req->cv_.notify_all();
            }
            if (notify)
                notify();
        }
        std::shared_ptr<FileState> file = std::move(req->file_);
        bool closeNow;
        {
            std::lock_guard<std::mutex> guard(file->mu);
            if (req->prev_)
                req->prev_->next_ = req->next_;
            else
                file->inFlight = req->next_;
            if (req->next_)
                req->next_->prev_ = req->prev_;
            else
                file->inFlightTail = req->prev_;
            req->prev_ = req->next_ = nullptr;
            closeNow = --file->outstanding == 0 && file->cleaned && !file->closed;
            if (closeNow)
                file->closed = true;
        }
        if (closeNow)
            Current().Spawn([file] { FinishClose(file); });
    };
    IoRequest* const outer = t_starting;
    t_starting = req;
    IofCallDriver(file->top, irp);
    t_starting = outer;
    return request;
}

void FileHandle::CancelIo() {
    // A request in the list is alive: the kernel keeps it until its final
    // step, which takes it out of the list first.
    std::vector<std::shared_ptr<IoRequest>> live;
    {
        std::lock_guard<std::mutex> guard(state_->mu);
        for (IoRequest* request = state_->inFlight; request; request = request->next_)
            live.push_back(request->shared_from_this());
    }
    for (auto& request : live)
        request->Cancel();
}

NTSTATUS FileHandle::Close() {
    // The handle keeps its file for as long as this runs.
    const std::shared_ptr<FileState>& file = state_;
    // With no request in flight none can start or end any more: the close
    // follows the cleanup here. Otherwise the last request to end may send it.
    bool idle;
    {
        std::lock_guard<std::mutex> guard(file->mu);
        if (file->cleaned)
            return STATUS_SUCCESS;
        file->cleaned = true;
        idle = file->outstanding == 0;
        if (idle)
            file->closed = true;
    }
    NTSTATUS status = SendFileRequest(file, IRP_MJ_CLEANUP);
    bool closeNow = idle;
    if (!idle) {
        std::lock_guard<std::mutex> guard(file->mu);
        closeNow = file->outstanding == 0 && !file->closed;
        if (closeNow)
            file->closed = true;
    }
    if (closeNow)
        FinishClose(file);
    return status;
}

std::vector<std::string> InterfacePaths(const GUID& guid) {
    State& s = Current();
    std::vector<std::string> paths;
    std::lock_guard<std::mutex> guard(s.mu);
    for (const InterfaceRecord& entry : s.interfaces)
        if (entry.enabled && entry.guid == guid)
            paths.push_back(Narrow(entry.link.data(), entry.link.size()));
    return paths;
}

InterfaceWatch::InterfaceWatch(
    std::function<void(bool arrival, const std::string& path, const GUID& guid)> notify) {
    State& s = Current();
    std::lock_guard<std::mutex> guard(s.mu);
    id_ = s.nextWatcher++;
    s.watchers[id_] = [notify](const State::InterfaceNote& note) {
        notify(note.arrival, note.link, note.guid);
    };
}

InterfaceWatch::~InterfaceWatch() {
    if (Kernel::Current() == nullptr)
        return;
    State& s = Current();
    std::lock_guard<std::mutex> guard(s.mu);
    s.watchers.erase(id_);
}

} // namespace kshim
