// The firmware update check the main window runs at start-up and when a
// writer arrives: the writer's version against the firmware file beside the
// program, the operator's consent, one updating program at a time across
// processes, then the application and boot updates with a progress window.
#pragma once

#include "app/WindowHost.h"
#include "firmware/FWUpdate.h"
#include "port/Clock.h"
#include "usb/IUSBInfo.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

namespace app {

// The six numbers of a firmware version; the first four decide.
using WriterVersion = std::array<uint16_t, 6>;

inline constexpr const char* kUpdatePrompt = "Update latest firmware version?";
inline constexpr const char* kUpdateBusyPrompt =
    "Another MERiL ICE is updating.\nPlease wait, or click NO to exit program.";
inline constexpr const char* kUpdateAppText = "Update APP version...";
inline constexpr const char* kUpdateBootText = "Update Boot version...";
inline constexpr const char* kUpdateSuccess = "Update success!";
// Follows the reason a firmware file beside the program was refused.
inline constexpr const char* kFirmwareNotChanged = "\nThe writer's firmware was not changed.";
inline constexpr const char* kUpdateMutexName = "MERiLICEFWUpadte";
// After the system's reason why the update's lock cannot be taken.
inline constexpr const char* kUpdateNotRunText = ".\nThe firmware was not updated.";
inline constexpr const char* kAppCaption = "Burnwright";

// A writer that never reports a version must not hold the window: the poll
// gives up after this many requests, half a second apart (5 s at most).
inline constexpr int kVersionPollAttempts = 10;
inline constexpr uint32_t kVersionPollIntervalMs = 500;
inline constexpr uint32_t kUpdateStepWaitMs = 1500;
inline constexpr int kExitResult = -1;

class UpdateCheck {
public:
    // The check's parts; none is owned. It runs on the user-interface thread
    // and blocks it for the whole update, waits included (on `clock`).
    UpdateCheck(I_WindowHost& host, firmware::C_FWUpdate& updater, usb::I_USBInfo& link,
                port::Clock& clock)
        : host_(host), updater_(updater), link_(link), clock_(clock) {}

    // `writerVersion` is the window's record (read from the writer while its
    // first four numbers are zero, replaced after a successful update);
    // `updating` is set from the prompt to the end. 1 when nothing needed
    // doing or an update ran (successfully or not), 0 when the operator
    // declined or chose to exit (the dialog then ends with -1). A missing
    // firmware file offers nothing; one that cannot be a firmware image is
    // refused with a message saying why. When the update's lock cannot be
    // used at all (not merely held by another program), the reason is shown
    // and nothing is updated (1).
    int Run(const std::string& firmwarePath, WriterVersion& writerVersion,
            std::atomic<int>& updating);

private:
    bool PollWriterVersion(WriterVersion& writerVersion);

    I_WindowHost& host_;
    firmware::C_FWUpdate& updater_;
    usb::I_USBInfo& link_;
    port::Clock& clock_;
};

} // namespace app
