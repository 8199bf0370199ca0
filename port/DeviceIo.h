// Device I/O: finding a device-interface class's members and moving bytes
// through their pipes. The program reaches a real writer and the simulated one
// in exactly the same way, through one of these backends, chosen at start.
//
// Paths keep the shape of the platform's interface paths,
//   \\?\usb#vid_XXXX&pid_YYYY#INSTANCE#{class-guid}
// and a pipe is opened as the interface path followed by a pipe name such as
// "\PIPE00", so code that cuts the instance part out of a path behaves the
// same with every backend.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace port {

// The device-interface class that the writer's driver registers.
inline constexpr const char* kWriterInterfaceClass = "{5795843b-6684-43a4-81ee-d2dd1b5594b6}";

// Device-control codes the writer's driver takes (DeviceHandle::Control).
inline constexpr uint32_t kControlGetConfigDescriptor = 0x220000u;
inline constexpr uint32_t kControlResetDevice = 0x220004u;
inline constexpr uint32_t kControlResetPipe = 0x220008u;
inline constexpr uint32_t kControlVendorOut = 0x22000Cu;
inline constexpr uint32_t kControlVendorIn = 0x220010u;
// The vendor requests' block: request-type bits at 0, request at 1, value at
// 4, index at 8, data length at 12 (little-endian), the data from 16 on. The
// block is at least 24 bytes; a request reports 24 bytes returned (fewer when
// the output buffer is shorter): the header as sent and the first 8 data bytes.
inline constexpr size_t kVendorHeaderBytes = 16;
inline constexpr size_t kVendorMinimumBlock = 24;
inline constexpr size_t kVendorReportedBytes = 24;

// One open handle on an interface path or a pipe path.
class DeviceHandle {
public:
    enum class Outcome {
        Done,     // the transfer completed; `transferred` tells how many bytes
        TimedOut, // the time limit ran out; the transfer was cancelled
        Failed,   // the device refused the transfer or is gone
    };

    virtual ~DeviceHandle() = default; // closes the handle; cancels nothing still in flight

    // One transfer of up to `size` bytes. Blocks until it completes, fails or
    // `timeoutMs` passes (0 waits without limit). `transferred` is set on Done
    // and may be less than `size` (a short read); it is 0 otherwise.
    virtual Outcome Read(uint8_t* buffer, size_t size, uint32_t timeoutMs, size_t& transferred) = 0;
    virtual Outcome Write(const uint8_t* buffer, size_t size, uint32_t timeoutMs,
                          size_t& transferred) = 0;

    // Cancels a transfer in flight on this handle from another thread; the
    // transfer returns Failed. Never blocks.
    virtual void Cancel() = 0;

    // One device-control request as the writer's driver takes it (the codes
    // above): `input` is copied into a buffer of max(inputSize, outputSize)
    // bytes, the request works on that buffer, and `returned` bytes of it are
    // copied to `output`. Blocks until the device answers, fails, or
    // `timeoutMs` passes (0 waits without limit). Done with `returned` set;
    // TimedOut; Failed for a refused request, bad block or unknown code, and
    // for a backend without device control (the default).
    virtual Outcome Control(uint32_t code, const uint8_t* input, size_t inputSize, uint8_t* output,
                            size_t outputSize, uint32_t timeoutMs, size_t& returned);
};

enum class DeviceEvent { Arrival, Removal };

class DeviceIo {
public:
    virtual ~DeviceIo() = default;

    // The backend's name as BURNWRIGHT_WRITER names it ("win32", "sim", ...).
    virtual std::string Name() const = 0;

    // True, with the path of member `memberIndex` of `interfaceClass`, when a
    // present device has such a member. Member indexes may have gaps. Blocks
    // only on the system's device lists.
    virtual bool InterfaceMember(const std::string& interfaceClass, uint32_t memberIndex,
                                 std::string& path) = 0;

    // Opens an interface path, or an interface path followed by a pipe name, for
    // reading and writing, shared. Null when the path cannot be opened (no such
    // device, device removed, unknown pipe). Blocks only briefly.
    virtual std::unique_ptr<DeviceHandle> Open(const std::string& path) = 0;

    // Called, on any thread, when a member of a class arrives or leaves. The
    // handler must return quickly. Null removes it.
    using EventHandler = std::function<void(DeviceEvent, const std::string& interfacePath)>;
    virtual void SetEventHandler(EventHandler handler) = 0;

    // The program gave up its claim on the device at `interfacePath`: a
    // backend that holds the device for this process (a claimed USB
    // interface) lets it go once no handle on it is open, so that another
    // process can take it. Does nothing by default. Never blocks for long.
    virtual void ReleaseDevice(const std::string& interfacePath);

    // Why the last search or open came to nothing, beyond "not present": no
    // device with the wanted identity, a device that another program or a
    // kernel driver holds, no permission to open it. Returns the text and
    // forgets it; empty when there is nothing to add (the default). Never
    // blocks.
    virtual std::string TakeProblem();
};

// Backends register a factory under a name; the argument is what follows
// "name:" in the selection text (empty when there is none). A factory that
// cannot start throws std::exception with the reason (or returns null).
using DeviceIoFactory = std::function<std::unique_ptr<DeviceIo>(const std::string& argument)>;
void RegisterDeviceIoBackend(const std::string& name, DeviceIoFactory factory);
std::vector<std::string> DeviceIoBackendNames();

// Builds the backend that `selection` names ("sim", "sim:STATE_FILE", ...).
// Null, with `error` set, for an unknown name or a backend that cannot start.
std::unique_ptr<DeviceIo> CreateDeviceIo(const std::string& selection, std::string& error);

// The selection from BURNWRIGHT_WRITER, or the platform's real backend when
// the variable is not set.
std::string DeviceIoSelectionFromEnvironment();

} // namespace port
