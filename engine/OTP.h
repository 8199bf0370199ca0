// The writer engine: drives the gang writer's command protocol over the
// writer link and runs the OTP operations over the enabled sockets.
//
// Every operation blocks its caller for the whole exchange with the writer
// (verify-buffer waits included, on the engine's clock). Operations that end
// with a status check return 1 when the status command and reply went through
// and no enabled socket reads Fail; a failed transfer anywhere in an operation
// returns 0 with the link's message left on the result.
#pragma once

#include "core/Result.h"
#include "engine/Packets.h"
#include "firmware/FWUpdate.h"
#include "image/OTPBinFile.h"
#include "image/OTPBodyProfiler.h"
#include "port/Clock.h"
#include "usb/IUSBInfo.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace engine {

// Wait modes of VerifyBuffer.
constexpr int kWaitPoll = 9;  // poll every 2500 ms, at most 50 rounds
constexpr int kWaitLong = 10; // one wait of 30000 ms
constexpr uint32_t kPollIntervalMs = 2500;
constexpr int kPollRounds = 50;
constexpr uint32_t kLongWaitMs = 30000;

// Files written into the program folder.
constexpr const char* kGetInfoFile = "GetInfo.bin";
constexpr const char* kGetOTPInfoFile = "GetOTPInfo.bin";
constexpr const char* kSetInfoFile = "SetInfo.bin";
constexpr const char* kSetOTPInfoFile = "SetOTPInfo.bin";
constexpr const char* kWriteInfoFailed = "Write EEProm Fail!";
constexpr const char* kNoBodySelected = "Please Select Chip Body!";
constexpr const char* kEmptyImage = "The image is empty!";

// Pass-operation keys of SetOption.
enum PassOption : int { kOptionBlankCheck = 0, kOptionProgram = 1, kOptionVerify = 2 };

// The largest write of a block load of the writer buffer.
inline constexpr size_t kMaxLoadWrite = 1024 * 1024;

class C_OTP : public core::I_StandardFace {
public:
    // Wires the engine to `link` (the process's writer link), waits on
    // `clock` and records failures on `result`. Runs Init.
    explicit C_OTP(usb::I_USBInfo& link, port::Clock& clock = port::SystemClock(),
                   core::C_Result& result = core::SharedResult());
    ~C_OTP() override;
    C_OTP(const C_OTP&) = delete;
    C_OTP& operator=(const C_OTP&) = delete;

    // Operations in the engine's slot order. Those that talk to the writer
    // block for the exchange; the others only touch the engine's state.

    // 0x26, then the status into the socket states.
    virtual int ScanSockets();
    // Writer buffer of the enabled sockets; a status check ends each. The
    // buffer commands that carry the image fail, sending nothing, when its
    // file is gone (also after it was read) or its word image is empty.
    virtual int EraseBuffer();
    virtual int BlankCheckBuffer();
    // The word image, padded with 0xFF to a multiple of 256, in 64-byte writes;
    // 0 at the first failed write (the buffer is then incomplete).
    virtual int LoadBuffer();
    // kWaitPoll: a status check every 2500 ms until none fails, at most 50;
    // kWaitLong: 30000 ms, then one check; anything else: one check at once.
    // Switches the link's unlimited wait on again afterwards.
    virtual int VerifyBuffer(int waitMode);
    // OTP operations on the enabled sockets. Blank check and the trims end at
    // the body's OTP size - 1, program and verify at the image's last unit
    // held to it. 0 without a body that has an OTP size.
    virtual int BlankCheckOTP();
    virtual int ProgramOTP();
    virtual int VerifyOTP();
    // Reads the chip back into the program folder's `fileName`. A failed read
    // leaves an existing file untouched. The result also needs the closing
    // status check to find no enabled socket in Fail; ReadBackSaved tells
    // whether the file was written.
    virtual int ReadOTP(const std::string& fileName);
    virtual int TrimIHRC();
    virtual int TrimLVD();
    // 0x07 and the 64-byte reply into the socket states; 1 when both
    // transfers went through (else every state reads Init).
    virtual int ReadStatus();
    // The mask packet alone; the writer takes it for the packet that follows a
    // masked command.
    virtual int SendSocketMask();
    // Enabled sockets in `state`.
    virtual int CountSockets(int state);
    virtual std::string GetMessage();
    // 0x27 with both counts (16 bits each); the result of the write.
    virtual int SetCounters(int pass, int fail);
    // With a non-zero flag, enables exactly the sockets in OK; sends nothing.
    virtual void SelectPassed(int flag);
    // 0x28: enabled sockets send their state, disabled ones send and become
    // Init.
    virtual int SendSocketStates();
    // 0x28 after re-enabling exactly the sockets in OK or Fail, which become
    // OK; Init and Busy sockets send Init and stay disabled.
    virtual int ResetSocketStates();
    // 0x2A / 0x1D read the block into GetInfoBlock (a failed read keeps the
    // last one) and, with `save`, into GetInfo.bin / GetOTPInfo.bin; a status
    // check ends them.
    virtual int GetInfo(int save);
    // 0x25 / 0x1C (byte 5 0x05, or 0x07 for the second entry) with the block
    // built from the body, the image, the pass operations and the counters;
    // with `save` also SetInfo.bin / SetOTPInfo.bin; then VerifyInfo.
    virtual int SetInfo(int save);
    virtual int ByteSum(const uint8_t* bytes, int length);
    virtual void SetOption(int key, int value);
    // 0x28 with one state for all 16 sockets, all enabled; kind 0-3 sends OK,
    // Busy, Fail, Init, any other kind Init. The states kept do not change.
    virtual int SetAllSocketStates(int kind);
    virtual int GetOTPInfo(int save);
    virtual int SetOTPInfo(int save, const InfoRecord& record);
    virtual int GetOTPInfo2(int save);
    virtual int SetOTPInfo2(int save, const InfoRecord& record);
    // Null only after selecting an invalid body.
    virtual image::C_OTPBinFile* GetImage();
    virtual firmware::C_C51BinFile* GetFirmwareImage();
    virtual firmware::C_FWUpdate* GetUpdater();
    virtual image::C_OTPBodyProfiler* GetBodyCatalogue();
    virtual const std::array<uint8_t, kSocketCount>& GetSocketStates();
    virtual void SetSocketEnabled(int socket, int flag);
    virtual int IsSocketEnabled(int socket);
    virtual usb::I_USBInfo* GetLink();
    virtual const InfoBlock& GetInfoBlock();
    // Makes `index` the catalogue's body and replaces the image object by the
    // body's class (none outside 1-34), handing it the open file's path.
    virtual void SelectBody(int index);
    // Records `text` on the result; returns 0.
    virtual int ReportError(const char* text);
    // 1 when an enabled socket reads Fail, or when the status exchange failed.
    virtual int AnySocketFailed();
    // Unlimited wait on, ICE body type 11, fresh image, catalogue and updater
    // (the updater selects type 8 on the link), program folder, all states OK.
    virtual int Init();
    virtual void DecodeStatus(const Packet& reply);
    // Reads the block back: accepted when it equals `block` or holds nothing
    // stored (0xAA at 0x03); else "Write EEProm Fail!" and 0.
    virtual int VerifyInfo(const InfoBlockBytes& block);

    // The window forces the state of a socket whose box is unticked to Init.
    void SetSocketState(int socket, uint8_t state) {
        if (socket >= 0 && socket < static_cast<int>(kSocketCount))
            states_[socket] = state;
    }
    // Whether the last ReadOTP wrote its file whole.
    bool ReadBackSaved() const { return readBackSaved_; }
    int GetPassCounter() const { return passCounter_; }
    void SetPassCounter(int value) { passCounter_ = value; }
    int GetFailCounter() const { return failCounter_; }
    void SetFailCounter(int value) { failCounter_ = value; }
    const std::string& GetProgramFolder() const { return programFolder_; }
    int GetOption(int key) const;
    // Hands the engine an image object of the caller's making in place of the
    // selected body's (tools that prepare images themselves, tests).
    void ReplaceImage(std::unique_ptr<image::C_OTPBinFile> image) { image_ = std::move(image); }

private:
    int Send(const Packet& packet);
    // Command, then the mask packet; stops at the first failed write.
    int SendMasked(const Packet& command);
    // Status check at the end of an operation: 1 when it passed.
    int StatusPassed() { return AnySocketFailed() ? 0 : 1; }
    int MaskedWithStatus(const Packet& command);
    // An operation refused or not delivered: every socket reads Init; 0.
    int NotRun();
    // The selected body's parameters; false (with a message) without image.
    bool HaveImage();
    // An image whose file is there (commands that carry its size or data).
    bool HaveImageFile();
    // HaveImageFile, and a word image of at least one byte, whose size it gives.
    bool HaveWordImage(uint32_t& size);
    // An image and a body with an OTP size (commands that carry an end address).
    bool HaveOTPBody();
    uint32_t BodyOTPEnd();
    uint32_t ClampedLastUnit();
    uint8_t FwBodyCode();
    int ReadInfoBlock(uint8_t command, int save, const char* saveFile, bool* blockRead = nullptr);
    int WriteInfoBlock(const Packet& command, const InfoBlockBytes& block, int save,
                       const char* saveFile);
    InfoBlockContent BlockContent();
    // Creates or truncates the program folder's `name` with the bytes;
    // reports the failure.
    bool SaveFile(const std::string& name, const uint8_t* data, size_t length);
    uint16_t SocketMask();
    // Bytes per write of a buffer load: one packet, or the block the
    // settings ask for ("LoadBlockBytes" in "General", whole packets up to
    // kMaxLoadWrite).
    static size_t LoadWriteSize();

    int passCounter_ = 0;
    bool readBackSaved_ = false;
    int failCounter_ = 0;
    std::unique_ptr<image::C_OTPBodyProfiler> catalogue_;
    std::unique_ptr<image::C_OTPBinFile> image_;
    firmware::C_FWUpdate embeddedUpdater_;
    std::unique_ptr<firmware::C_FWUpdate> updater_;
    usb::I_USBInfo* link_;
    core::C_Result* result_;
    port::Clock& clock_;
    std::string programFolder_;
    std::array<uint8_t, kSocketCount> states_{};
    std::map<int, int> enables_;
    std::map<int, int> options_;
    InfoBlock infoBlock_;
};

} // namespace engine
