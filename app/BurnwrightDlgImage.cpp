// Opening and validating an image, preparing it for the writer, loading the
// writer buffer on a worker thread, and the writer-buffer buttons.
#include "app/BurnwrightDlg.h"

#include "app/InfoRecordBuilder.h"
#include "core/Errors.h"
#include "core/MessageHost.h"
#include "image/Acceptance.h"

#include "port/FileStatus.h"

#include <filesystem>
#include <fstream>
#include <new>
#include <vector>

namespace app {
namespace {

constexpr const char* kBinFilter = "Bin Files (*.bin;*.bn1)|*.bin;*.bn1;";
constexpr const char* kNoFileText = "Please input bin file!";
constexpr const char* kLoadQuestion = "Load the bin file to the WriterBuffer now ?";
constexpr int kOperationBoxes[] = {ids::kSelectAllOperations, ids::kOpProgram, ids::kOpVerify};
// The contents buffer's own failure: no memory for the file.
constexpr const char* kBufferNullText = "File Buffer Pointer is Null!";

// The whole file, or false when it cannot be read completely. Throws
// std::bad_alloc when there is no memory for it.
bool ReadWhole(const std::string& path, std::vector<uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    in.seekg(0, std::ios::end);
    const std::streamoff length = in.tellg();
    if (length < 0)
        return false;
    in.seekg(0, std::ios::beg);
    bytes.resize(static_cast<size_t>(length));
    in.read(reinterpret_cast<char*>(bytes.data()), length);
    return in.gcount() == length;
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

} // namespace

void CBurnwrightDlg::OnOpen() {
    if (!TryBeginAction(false))
        return;
    ActionEnd end(*this);
    SetActionEnabled(ids::kLoadToWriterBuffer, false);
    std::string path;
    if (!host_.ShowOpenFileDialog(kBinFilter, FolderOf(settings_->GetLastOpenFileName()), path))
        return;
    const int body = SelectedBody();
    try {
        // A file that cannot be read whole is refused with a word: silence
        // would leave the operator guessing why nothing happened.
        const std::string unreadable = "The File \"" +
                                       std::filesystem::path(path).filename().string() +
                                       "\" cannot be read whole!";
        std::error_code error;
        const auto length = std::filesystem::file_size(path, error);
        if (error) {
            core::ShowMessageBox(unreadable, kAppCaption, core::kMbOk);
            return;
        }
        if (!image::CheckFileSize(body, static_cast<int64_t>(length))) {
            core::ShowMessageBox(image::kSizeMismatchMessage, kAppCaption, core::kMbOk);
            return;
        }
        std::vector<uint8_t> contents;
        if (!ReadWhole(path, contents) || contents.size() != length) {
            core::ShowMessageBox(unreadable, kAppCaption, core::kMbOk);
            return;
        }
        // Past the chip's size a longer file may hold padding only.
        if (!image::CheckFileTail(body, contents))
            return;
        const uint32_t info = image::ReadXdeInfo(body, contents);
        if (!image::CheckXdeInfo(info, body, static_cast<int64_t>(length))) {
            core::ShowMessageBox(image::kInfoCheckFailedMessage, kAppCaption, core::kMbOk);
            return;
        }
        if (!image::CheckBodySpecific(host_.GetControlText(ids::kBodyCombo), contents))
            return;
    } catch (const std::bad_alloc&) {
        core::ShowMessageBox(kBufferNullText, kAppCaption, core::kMbOk);
        return;
    }
    state_.fileName.Set(path);
    UpdateData(false);
    // Kept for the next file dialog; a settings file that does not take it
    // costs only that.
    settings_->SetLastOpenFileName(path);
    state_.bufferLoaded = 0;
    ForgetBuffer();
    image::C_OTPBinFile* image = otp_->GetImage();
    if (!image)
        return;
    image->FreeImages();

    // The image is the file just checked, whatever the settings file kept.
    if (!image->SetFileName(path) || !image->Exists()) {
        core::ShowMessageBox(otp_->GetMessage(), kAppCaption, core::kMbOk);
        state_.fileName.Set("");
        UpdateData(false);
        return;
    }
    if (SelectedBody() <= 0)
        host_.SetComboSelection(
            ids::kBodyCombo,
            settings_->GetInt(core::settings::kFile, core::settings::kDeviceBodyIndex));
    PrepareImage(false);
    RefreshBufferTexts(false);
    otp_->ResetSocketStates();
    for (int i = 0; i < ids::kSocketCount; ++i)
        SetStatusText(i, "");

    state_.checkSumText.Set(core::Format("%X", image->GetCheckSum()));
    state_.lengthText.Set(core::Format("%d", image->GetLength()));
    state_.fileTimeText.Set(image->GetTimeString());
    UpdateData(false);
    SetActionEnabled(ids::kLoadToWriterBuffer, true);
    SetActionEnabled(ids::kResetCounter, true);
    otp_->SetInfo(state_.developerMode);
}

void CBurnwrightDlg::RememberHeldImage() {
    heldImage_.clear();
    image::C_OTPBinFile* image = otp_->GetImage();
    port::FileStatus status;
    if (!image || !port::GetFileStatus(image->GetFileName(), status))
        return;
    heldImage_ = std::to_string(SelectedBody()) + "|" + image->GetFileName() + "|" +
                 std::to_string(status.size) + "|" + std::to_string(status.modifiedNs) + "|" +
                 state_.bufferCheckText.Get();
}

void CBurnwrightDlg::CheckHeldImage() {
    const std::string held = heldImage_;
    RememberHeldImage();
    if (held.empty() || held != heldImage_) {
        // Changed on disk, gone, or another image: what the buffers hold is
        // no longer known, so the pass asks before it programs.
        ForgetBuffer();
        state_.bufferStale = 1;
    }
}

engine::InfoRecord CBurnwrightDlg::BuildInformationRecord() {
    InfoRecordInputs in;
    in.bodyName = host_.GetControlText(ids::kBodyCombo);
    in.securityEnabled = state_.securityEnabled != 0;
    in.securityDigit = state_.securityDigit.Get();
    image::C_OTPBinFile* image = otp_->GetImage();
    in.imageCheckSum = image ? image->GetCheckSum() : 0;
    in.version = settings_->GetVersion();
    // Asked afresh: a failed request leaves zeros.
    otp_->GetUpdater()->GetWriterVersion(in.writerVersion.data());
    in.today = localTime_();
    in.codeNumberEnabled = state_.codeNumberEnabled != 0;
    in.codeNumberText = host_.GetControlText(ids::kCodeNumber);
    return BuildInfoRecord(in);
}

void CBurnwrightDlg::PrepareImage(bool klKsOnly) {
    image::C_OTPBinFile* image = otp_->GetImage();
    if (!image)
        return;
    const std::string name = host_.GetControlText(ids::kBodyCombo);
    const bool prepare =
        klKsOnly ? IsSelectedBody(" KL500 ") || IsSelectedBody(" KS300 ") : IsInfoRecordBody(name);
    const bool developer = state_.developerMode != 0;
    if (prepare) {
        Refresh(false);
        Refresh(true);
        informationRecord_ = BuildInformationRecord();
        image->WriteInfoRecord(informationRecord_);
        if (image->IsInfoDirty())
            image->ClearInfoDirty();
        if (developer)
            image->SaveSideFiles(SelectedBody() == 15);
        state_.bufferCheckText.Set(core::Format("%X", image->ComputeImageCheckSum()));
        Refresh(false);
    } else {
        state_.bufferCheckText.Set(core::Format("%X", image->ComputeImageCheckSum()));
        Refresh(false);
        if (developer)
            image->SaveSideFiles(0);
    }
}

void CBurnwrightDlg::RefreshBufferTexts(bool loaded) {
    image::C_OTPBinFile* image = otp_->GetImage();
    if (loaded && image) {
        state_.checkSumText.Set(core::Format("%X", image->GetCheckSum()));
        state_.lengthText.Set(core::Format("%d Bytes", image->GetLength()));
        state_.fileTimeText.Set(image->GetTimeString());
        state_.bufferStale = 0;
    } else {
        state_.checkSumText.Set("");
        state_.lengthText.Set("");
        state_.fileTimeText.Set("");
        state_.bufferStale = 1;
    }
    Refresh(false);
}

void CBurnwrightDlg::StartTimer() {
    state_.startTick = TickCount();
    state_.elapsedText.Set("");
    Refresh(false);
    RepaintNow();
}

void CBurnwrightDlg::ShowElapsedSince() {
    const uint32_t elapsed = TickCount() - state_.startTick;
    state_.elapsedText.Set(core::Format("%.3f", elapsed / 1000.0));
    Refresh(false);
}

void CBurnwrightDlg::OnLoadToWriterBuffer() {
    if (!TryBeginAction(true))
        return;
    host_.StartThread([this] { LoadThread(); });
}

void CBurnwrightDlg::LoadThread() {
    ActionEnd end(*this);
    WindowState& s = state_;
    if (s.codeNumber < 0 || s.codeNumber > 9999)
        return;
    if (s.fileName.Get().empty()) {
        core::ShowMessageBox(kNoFileText, kAppCaption, core::kMbOk);
        return;
    }
    if (core::ShowMessageBox(kLoadQuestion, "Load", core::kMbOkCancel) != core::kIdOk)
        return;
    const bool developer = s.developerMode != 0;
    if (!developer)
        for (int id : kOperationBoxes)
            host_.EnableControl(id, false);
    s.selectAllOperations = 0;
    s.program = 0;
    s.verify = 0;
    s.timeLabel.Set("Load Time");
    Refresh(false);

    s.loading = 1;
    auto signal = std::make_shared<LoadSignal>();
    image::C_OTPBinFile* image = otp_->GetImage();
    const int total = image ? image->GetLength() : 0;
    host_.StartThread([this, total, signal] {
        RunLoadProgress(host_, *progressClock_, state_.loading, signal, total);
    });

    SynchroniseCheckBoxes();
    for (int i = 0; i < ids::kSocketCount; ++i)
        actionSockets_[i] = otp_->IsSocketEnabled(i) ? 1 : 0;
    StartTimer();
    EnableActionControls(false, false);
    bool result = false;
    bool verified = false;
    try {
        // A load stopped before its verify ended leaves a buffer nobody
        // checked: it counts as not loaded.
        result = LoadSequence(verified) && !StopRequested();
    } catch (core::C_BasicError* error) {
        std::unique_ptr<core::C_BasicError> owned(error);
        owned->ShowMessage();
        result = false;
    }
    // The buffers of the load's sockets were erased or written: they hold the
    // image exactly where the closing buffer verify found it.
    const auto& after = otp_->GetSocketStates();
    for (int i = 0; i < ids::kSocketCount; ++i)
        if (actionSockets_[i])
            bufferHolds_[i] = verified && after[i] == engine::kSocketOK;
    RememberHeldImage();
    s.loading = 0;
    signal->Finished();
    EnableActionControls(true, true);
    ShowElapsedSince();

    if (result) {
        s.bufferLoaded = otp_->CountSockets(engine::kSocketOK) > 0 ? 1 : 0;
        RefreshBufferTexts(s.bufferLoaded != 0);
        otp_->SetInfo(s.developerMode);
        SynchroniseCheckBoxes();
        otp_->SendSocketStates();
        const auto states = otp_->GetSocketStates();
        for (int i = 0; i < ids::kSocketCount; ++i) {
            if (states[i] == engine::kSocketInit || states[i] == engine::kSocketFail)
                host_.SetCheck(ids::kSocketBoxBase + i, 0);
            if (states[i] == engine::kSocketInit)
                SetStatusText(i, "  ");
        }
    } else {
        // The buffers may now hold anything: a pass asks, and checks them.
        RefreshBufferTexts(false);
        s.bufferLoaded = 0;
        SetStatusTextOnAll(kLoadingText);
        AppendStatusOnAll("Fail");
    }
    Refresh(false);
    SynchroniseCheckBoxes();
    s.selectAllOperations = 1;
    if (!developer)
        for (int id : kOperationBoxes)
            host_.EnableControl(id, true);
    Refresh(false);
    ApplySelectAllOperations();
}

bool CBurnwrightDlg::LoadSequence(bool& verified) {
    WindowState& s = state_;
    verified = false;
    struct PassingOnlyOff {
        std::atomic<int>& flag;
        ~PassingOnlyOff() { flag = 0; }
    } onExit{s.passingSocketsOnly};
    // One step on the sockets `passedOnly` selects: "Loading..." and the
    // step's word, the engine call, then each socket's state word.
    auto step = [&](bool passedOnly, const char* word, const std::function<int()>& run) {
        s.passingSocketsOnly = passedOnly ? 1 : 0;
        SelectAmongAction(passedOnly);
        SetStatusTextOnAll(kLoadingText);
        AppendStatusOnAll(word);
        const auto before = TakeStep();
        const int result = run();
        EndStep(before);
        AppendStatusOnAll("Status");
        return result;
    };
    auto noneOk = [&] { return otp_->CountSockets(engine::kSocketOK) == 0; };
    // Between two steps the writer has finished its command: a stop asked
    // for meanwhile ends the load there, unfinished.
    auto stopped = [&] { return StopRequested(); };

    PrepareImage(false);
    if (stopped())
        return false;
    step(false, "Erase...", [&] { return otp_->EraseBuffer(); });
    if (stopped())
        return false;
    if (noneOk())
        return true;
    step(true, "Blank Check ... ", [&] { return otp_->BlankCheckBuffer(); });
    if (stopped())
        return false;
    if (noneOk())
        return true;
    step(true, "Program ...", [&] { return otp_->LoadBuffer(); });
    if (stopped())
        return false;
    if (noneOk())
        return true;
    const int result =
        step(true, "Verify ... ", [&] { return otp_->VerifyBuffer(SelectedBody()); });
    verified = true;
    return result != 0;
}

void CBurnwrightDlg::OnBufferOperation(int controlId) {
    const char* text = controlId == ids::kEraseFlash         ? "Erase WriterBuffer ... "
                       : controlId == ids::kBufferBlankCheck ? "Blank Check WriterBuffer ... "
                       : controlId == ids::kProgramFlash     ? "Program WriterBuffer ... "
                                                             : "Verify WriterBuffer ... ";
    SetStatusTextOnAll(text);
    SynchroniseCheckBoxes();
    for (int i = 0; i < ids::kSocketCount; ++i)
        actionSockets_[i] = otp_->IsSocketEnabled(i) ? 1 : 0;
    EnableActionControls(false, false);
    StartTimer();
    const auto before = TakeStep();
    try {
        switch (controlId) {
        case ids::kEraseFlash:
            otp_->EraseBuffer();
            break;
        case ids::kBufferBlankCheck:
            otp_->BlankCheckBuffer();
            break;
        case ids::kProgramFlash:
            PrepareImage(false);
            otp_->LoadBuffer();
            break;
        default:
            otp_->VerifyBuffer(SelectedBody());
            break;
        }
    } catch (core::C_BasicError* error) {
        std::unique_ptr<core::C_BasicError> owned(error);
        owned->ShowMessage();
    }
    EndStep(before);
    ShowElapsedSince();
    EnableActionControls(true, true);
    AppendStatusOnAll("Status");
    if (controlId == ids::kEraseFlash || controlId == ids::kProgramFlash) {
        // Erased, or written without a verify: not known to hold the image.
        for (int i = 0; i < ids::kSocketCount; ++i)
            if (actionSockets_[i])
                bufferHolds_[i] = false;
        state_.bufferLoaded = 0;
        state_.bufferStale = 1;
    }
    if (controlId == ids::kVerifyBuffer) {
        const auto& verified = otp_->GetSocketStates();
        for (int i = 0; i < ids::kSocketCount; ++i)
            if (actionSockets_[i])
                bufferHolds_[i] = verified[i] == engine::kSocketOK;
        RememberHeldImage();
        state_.bufferLoaded = otp_->CountSockets(engine::kSocketOK) > 0 ? 1 : 0;
        RefreshBufferTexts(state_.bufferLoaded != 0);
        SynchroniseCheckBoxes();
        otp_->SendSocketStates();
        const auto states = otp_->GetSocketStates();
        for (int i = 0; i < ids::kSocketCount; ++i) {
            if (states[i] != engine::kSocketInit)
                continue;
            host_.SetCheck(ids::kSocketBoxBase + i, 0);
            SetStatusText(i, "  ");
        }
        SynchroniseCheckBoxes();
    }
}

} // namespace app
