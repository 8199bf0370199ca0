#include "app/win32/Win32Host.h"

#include "app/ControlIds.h"
#include "app/win32/DialogBuilder.h"
#include "app/win32/Win32ProgressWindow.h"

#include <commdlg.h>
#include <dbt.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>

namespace app::win32 {
namespace {

constexpr COLORREF kTransparent = RGB(0, 128, 128);
constexpr COLORREF kRedText = RGB(255, 0, 0);
constexpr int kLampPixels = 16;

Win32Host* HostOf(HWND dialog) {
    return reinterpret_cast<Win32Host*>(::GetWindowLongPtrA(dialog, GWLP_USERDATA));
}

INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG)
        return TRUE;
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        ::EndDialog(dialog, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

bool ParseGuid(const std::string& text, GUID& guid) {
    unsigned long d1 = 0;
    unsigned d2 = 0, d3 = 0, b[8] = {};
    if (std::sscanf(text.c_str(), "{%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3, &b[0],
                    &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]) != 11)
        return false;
    guid.Data1 = d1;
    guid.Data2 = static_cast<unsigned short>(d2);
    guid.Data3 = static_cast<unsigned short>(d3);
    for (int i = 0; i < 8; ++i)
        guid.Data4[i] = static_cast<unsigned char>(b[i]);
    return true;
}

// A simulated bus's notification, carried to the dialog as the platform
// would carry it: the event code and a device-interface broadcast.
struct BusNotification {
    WPARAM event;
    std::vector<char> broadcast;
};

} // namespace

Win32Host::Win32Host(HINSTANCE instance, port::DeviceIo* devices)
    : instance_(instance), devices_(devices) {
    previousBoxHost_ = core::SetMessageBoxHost(this);
}

Win32Host::~Win32Host() {
    UnregisterDeviceNotification();
    for (auto& [id, picture] : pictures_)
        ::DeleteObject(picture);
    core::SetMessageBoxHost(previousBoxHost_);
}

int Win32Host::RunModal(I_WindowLogic& logic) {
    logic_ = &logic;
    uiThread_ = ::GetCurrentThreadId();
    const DialogResource resource(MainDialogTemplate());
    const INT_PTR result = ::DialogBoxIndirectParamA(
        instance_, resource.Get(), nullptr, &Win32Host::DialogProc, reinterpret_cast<LPARAM>(this));
    // A worker still running sends to a window that is gone and gets 0.
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> hold(workersLock_);
        workers.swap(workers_);
    }
    for (std::thread& t : workers)
        t.join();
    UnregisterDeviceNotification();
    dialog_ = nullptr;
    logic_ = nullptr;
    return static_cast<int>(result);
}

INT_PTR CALLBACK Win32Host::DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        ::SetWindowLongPtrA(dialog, GWLP_USERDATA, lParam);
        reinterpret_cast<Win32Host*>(lParam)->dialog_ = dialog;
    }
    Win32Host* host = HostOf(dialog);
    return host ? host->Handle(message, wParam, lParam) : FALSE;
}

INT_PTR Win32Host::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    auto answer = [this](LRESULT value) {
        ::SetWindowLongPtrA(dialog_, DWLP_MSGRESULT, value);
        return TRUE;
    };
    switch (message) {
    case WM_INITDIALOG:
        return logic_->OnInitDialog() ? TRUE : FALSE;
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        const int code = HIWORD(wParam);
        if (id == IDCANCEL && code == BN_CLICKED) {
            ::EndDialog(dialog_, IDCANCEL); // the window's close box
            return TRUE;
        }
        if (id == IDOK)
            return TRUE; // Enter in an edit must not end the dialog
        // An edit's change is the user's only when the host is not writing
        // the control itself: a write of the window's state must not read
        // half-written controls back into it.
        const bool acted =
            code == BN_CLICKED || code == CBN_SELCHANGE ||
            (code == EN_CHANGE && writingControls_ == 0 && ::GetFocus() == Control(id));
        if (acted)
            logic_->OnCommand(id);
        return TRUE;
    }
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == static_cast<WPARAM>(ids::kSysCommandAbout)) {
            logic_->OnSysCommand(ids::kSysCommandAbout);
            return TRUE;
        }
        return FALSE;
    case WM_TIMER:
        logic_->OnTimer(static_cast<int>(wParam));
        return TRUE;
    case WM_PAINT:
        if (::IsIconic(dialog_)) {
            PAINTSTRUCT paint;
            ::BeginPaint(dialog_, &paint);
            ::EndPaint(dialog_, &paint);
            logic_->OnPaint();
            return TRUE;
        }
        logic_->OnPaint(); // lamps are owner-drawn from what it sets here
        return FALSE;
    case WM_DRAWITEM:
        DrawLamp(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
        return TRUE;
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORSTATIC: {
        const int id = ::GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
        if (!logic_->IsRedText(id))
            return FALSE;
        HDC dc = reinterpret_cast<HDC>(wParam);
        const int background = message == WM_CTLCOLOREDIT ? COLOR_WINDOW : COLOR_3DFACE;
        ::SetTextColor(dc, kRedText);
        ::SetBkColor(dc, ::GetSysColor(background));
        return reinterpret_cast<INT_PTR>(::GetSysColorBrush(background));
    }
    case WM_DEVICECHANGE:
        OnDeviceChange(wParam, reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam));
        return answer(TRUE);
    case kMsgDeviceEvent: {
        std::unique_ptr<BusNotification> note(reinterpret_cast<BusNotification*>(lParam));
        OnDeviceChange(note->event,
                       reinterpret_cast<const DEV_BROADCAST_HDR*>(note->broadcast.data()));
        return TRUE;
    }
    case kMsgInvoke:
        (*reinterpret_cast<const std::function<void()>*>(lParam))();
        return answer(0);
    case ids::kMsgRefresh:
    case ids::kMsgLamp:
    case ids::kMsgRunOnUi:
        return answer(logic_->OnUserMessage(message, wParam, lParam));
    default:
        return FALSE;
    }
}

void Win32Host::OnDeviceChange(WPARAM event, const DEV_BROADCAST_HDR* header) {
    if (!header || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE)
        return;
    const auto* iface = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(header);
    if (event == DBT_DEVICEARRIVAL)
        logic_->OnDeviceChange(DeviceChange::Arrival, iface->dbcc_name);
    else if (event == DBT_DEVICEREMOVECOMPLETE)
        logic_->OnDeviceChange(DeviceChange::RemoveComplete, iface->dbcc_name);
}

HBITMAP Win32Host::Picture(int bitmapId) {
    auto it = pictures_.find(bitmapId);
    if (it != pictures_.end())
        return it->second;
    HBITMAP picture = ::LoadBitmapA(instance_, MAKEINTRESOURCEA(bitmapId));
    pictures_[bitmapId] = picture;
    return picture;
}

void Win32Host::DrawLamp(const DRAWITEMSTRUCT& item) {
    ::FillRect(item.hDC, &item.rcItem, ::GetSysColorBrush(COLOR_3DFACE));
    const auto lamp = lamps_.find(static_cast<int>(item.CtlID));
    if (lamp == lamps_.end())
        return;
    HBITMAP picture = Picture(lamp->second);
    if (!picture)
        return;
    BITMAP info;
    ::GetObjectA(picture, sizeof info, &info);
    HDC source = ::CreateCompatibleDC(item.hDC);
    HGDIOBJ previous = ::SelectObject(source, picture);
    ::TransparentBlt(item.hDC, item.rcItem.left, item.rcItem.top, kLampPixels, kLampPixels, source,
                     0, 0, info.bmWidth, info.bmHeight, kTransparent);
    ::SelectObject(source, previous);
    ::DeleteDC(source);
}

void Win32Host::Invoke(const std::function<void()>& work) {
    if (OnUiThread() || !dialog_) {
        work();
        return;
    }
    ::SendMessageA(dialog_, kMsgInvoke, 0, reinterpret_cast<LPARAM>(&work));
}

HWND Win32Host::Control(int id) const {
    if (id != ids::kStatic)
        return ::GetDlgItem(dialog_, id);
    // The first control without an identifier, in creation order.
    for (HWND child = ::GetWindow(dialog_, GW_CHILD); child;
         child = ::GetWindow(child, GW_HWNDNEXT)) {
        const int childId = ::GetDlgCtrlID(child);
        if (childId == 0xFFFF || childId == -1)
            return child;
    }
    return nullptr;
}

std::string Win32Host::GetControlText(int id) {
    std::string text;
    Invoke([&] {
        HWND control = Control(id);
        if (!control)
            return;
        text.resize(::GetWindowTextLengthA(control) + 1);
        text.resize(::GetWindowTextA(control, text.data(), static_cast<int>(text.size())));
    });
    return text;
}

void Win32Host::SetControlText(int id, const std::string& text) {
    Invoke([&] {
        if (HWND control = Control(id)) {
            ++writingControls_;
            ::SetWindowTextA(control, text.c_str());
            --writingControls_;
        }
    });
}

int Win32Host::GetCheck(int id) {
    int checked = 0;
    Invoke([&] {
        if (HWND control = Control(id))
            checked = ::SendMessageA(control, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
    });
    return checked;
}

void Win32Host::SetCheck(int id, int checked) {
    Invoke([&] {
        if (HWND control = Control(id))
            ::SendMessageA(control, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
    });
}

void Win32Host::EnableControl(int id, bool enable) {
    Invoke([&] {
        if (HWND control = Control(id))
            ::EnableWindow(control, enable);
    });
}

bool Win32Host::IsControlEnabled(int id) {
    bool enabled = false;
    Invoke([&] {
        HWND control = Control(id);
        enabled = control && ::IsWindowEnabled(control);
    });
    return enabled;
}

void Win32Host::ShowControl(int id, bool show) {
    Invoke([&] {
        if (HWND control = Control(id))
            ::ShowWindow(control, show ? SW_SHOW : SW_HIDE);
    });
}

bool Win32Host::IsControlVisible(int id) {
    bool visible = false;
    Invoke([&] {
        HWND control = Control(id);
        visible = control && (::GetWindowLongA(control, GWL_STYLE) & WS_VISIBLE) != 0;
    });
    return visible;
}

Rect Win32Host::GetControlRect(int id) {
    Rect rect;
    Invoke([&] {
        HWND control = Control(id);
        if (!control)
            return;
        RECT r;
        ::GetWindowRect(control, &r);
        ::MapWindowPoints(nullptr, dialog_, reinterpret_cast<POINT*>(&r), 2);
        rect = {r.left, r.top, r.right - r.left, r.bottom - r.top};
    });
    return rect;
}

void Win32Host::SetControlRect(int id, const Rect& pixels) {
    Invoke([&] {
        HWND control = Control(id);
        if (!control)
            return;
        RECT before;
        ::GetWindowRect(control, &before);
        ::MapWindowPoints(nullptr, dialog_, reinterpret_cast<POINT*>(&before), 2);
        ::MoveWindow(control, pixels.x, pixels.y, pixels.cx, pixels.cy, TRUE);
        // A group box paints only its frame: where it was, the dialog and the
        // controls over it paint again, or its old frame stays on screen.
        ::RedrawWindow(dialog_, &before, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
    });
}

void Win32Host::ResetComboItems(int id) {
    Invoke([&] {
        if (HWND control = Control(id))
            ::SendMessageA(control, CB_RESETCONTENT, 0, 0);
    });
}

void Win32Host::AddComboItem(int id, const std::string& text) {
    Invoke([&] {
        if (HWND control = Control(id))
            ::SendMessageA(control, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    });
}

void Win32Host::SetComboSelection(int id, int index) {
    Invoke([&] {
        if (HWND control = Control(id))
            ::SendMessageA(control, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    });
}

int Win32Host::GetComboSelection(int id) {
    int selection = -1;
    Invoke([&] {
        if (HWND control = Control(id))
            selection = static_cast<int>(::SendMessageA(control, CB_GETCURSEL, 0, 0));
    });
    return selection;
}

void Win32Host::RepaintControl(int id) {
    Invoke([&] {
        if (HWND control = Control(id))
            ::RedrawWindow(control, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    });
}

void Win32Host::RepaintWindow() {
    Invoke([&] {
        ::RedrawWindow(dialog_, nullptr, nullptr,
                       RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    });
}

void Win32Host::DrawBitmap(int id, int bitmapId) {
    Invoke([&] {
        int& picture = lamps_[id];
        if (picture == bitmapId)
            return;
        picture = bitmapId;
        if (HWND control = Control(id)) {
            ::InvalidateRect(control, nullptr, TRUE);
            ::UpdateWindow(control);
        }
    });
}

std::string Win32Host::GetWindowText() {
    std::string text(::GetWindowTextLengthA(dialog_) + 1, '\0');
    text.resize(::GetWindowTextA(dialog_, text.data(), static_cast<int>(text.size())));
    return text;
}

void Win32Host::SetWindowText(const std::string& text) {
    ::SetWindowTextA(dialog_, text.c_str());
}

Rect Win32Host::GetWindowRect() {
    RECT r;
    ::GetWindowRect(dialog_, &r);
    return {r.left, r.top, r.right - r.left, r.bottom - r.top};
}

void Win32Host::SetWindowSize(int cx, int cy) {
    ::SetWindowPos(dialog_, nullptr, 0, 0, cx, cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32Host::CenterWindow() {
    RECT r, work;
    ::GetWindowRect(dialog_, &r);
    ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    const int x = work.left + ((work.right - work.left) - (r.right - r.left)) / 2;
    const int y = work.top + ((work.bottom - work.top) - (r.bottom - r.top)) / 2;
    ::SetWindowPos(dialog_, nullptr, x > 0 ? x : 0, y > 0 ? y : 0, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

bool Win32Host::IsMinimized() {
    return ::IsIconic(dialog_) != 0;
}

void Win32Host::DrawIconCentered(int iconId) {
    HICON icon = ::LoadIconA(instance_, MAKEINTRESOURCEA(iconId));
    if (!icon)
        return;
    RECT client;
    ::GetClientRect(dialog_, &client);
    HDC dc = ::GetDC(dialog_);
    const int x = (client.right - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (client.bottom - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
    ::DrawIcon(dc, x, y, icon);
    ::ReleaseDC(dialog_, dc);
}

void Win32Host::SetIcon(int iconId) {
    icon_ = ::LoadIconA(instance_, MAKEINTRESOURCEA(iconId));
    HICON small = static_cast<HICON>(::LoadImageA(instance_, MAKEINTRESOURCEA(iconId), IMAGE_ICON,
                                                  ::GetSystemMetrics(SM_CXSMICON),
                                                  ::GetSystemMetrics(SM_CYSMICON), 0));
    ::SendMessageA(dialog_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    ::SendMessageA(dialog_, WM_SETICON, ICON_SMALL,
                   reinterpret_cast<LPARAM>(small ? small : icon_));
}

std::string Win32Host::LoadString(int id) {
    char text[256] = {};
    const int n = ::LoadStringA(instance_, static_cast<UINT>(id), text, sizeof text);
    return std::string(text, n > 0 ? n : 0);
}

void Win32Host::AddSystemMenuEntry(int commandId, const std::string& text) {
    HMENU menu = ::GetSystemMenu(dialog_, FALSE);
    if (!menu)
        return;
    ::AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    ::AppendMenuA(menu, MF_STRING, static_cast<UINT_PTR>(commandId), text.c_str());
}

void Win32Host::ShowAboutBox() {
    const DialogResource resource(AboutDialogTemplate());
    ::DialogBoxIndirectParamA(instance_, resource.Get(), dialog_, AboutProc, 0);
}

bool Win32Host::ShowOpenFileDialog(const std::string& filter, const std::string& initialFolder,
                                   std::string& path) {
    // "Name|pattern|" becomes "Name\0pattern\0\0".
    std::string filters = filter;
    for (char& c : filters)
        if (c == '|')
            c = '\0';
    filters.append(2, '\0');
    char file[MAX_PATH] = {};
    OPENFILENAMEA dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = dialog_;
    dialog.lpstrFilter = filters.c_str();
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file;
    dialog.nMaxFile = sizeof file;
    dialog.lpstrInitialDir = initialFolder.empty() ? nullptr : initialFolder.c_str();
    dialog.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    if (!::GetOpenFileNameA(&dialog))
        return false;
    path = file;
    return true;
}

void Win32Host::EndDialog(int result) {
    ::EndDialog(dialog_, result);
}

void Win32Host::SetTimer(int id, uint32_t periodMs) {
    ::SetTimer(dialog_, static_cast<UINT_PTR>(id), periodMs, nullptr);
}

void Win32Host::KillTimer(int id) {
    ::KillTimer(dialog_, static_cast<UINT_PTR>(id));
}

void Win32Host::DropPendingMouseInput() {
    // Input is queued for the dialog's thread; it must remove it itself.
    Invoke([] {
        MSG message;
        while (::PeekMessageA(&message, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE)) {
        }
    });
}

bool Win32Host::RegisterDeviceNotification(const std::string& interfaceClass) {
    if (devices_ && devices_->Name() != "win32") {
        // A simulated bus tells its events to a handler; they reach the
        // dialog as the broadcast the system sends for a real device.
        HWND dialog = dialog_;
        devices_->SetEventHandler([dialog](port::DeviceEvent event, const std::string& path) {
            auto note = std::make_unique<BusNotification>();
            note->event =
                event == port::DeviceEvent::Arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
            note->broadcast.resize(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) + path.size());
            auto* iface =
                reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(note->broadcast.data());
            iface->dbcc_size = static_cast<DWORD>(note->broadcast.size());
            iface->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
            std::memcpy(iface->dbcc_name, path.c_str(), path.size() + 1);
            // The system names interfaces in capitals.
            for (char* c = iface->dbcc_name; *c; ++c)
                *c = static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
            if (::PostMessageA(dialog, kMsgDeviceEvent, 0, reinterpret_cast<LPARAM>(note.get())))
                note.release();
        });
        busEvents_ = true;
        return true;
    }
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    if (!ParseGuid(interfaceClass, filter.dbcc_classguid))
        return false;
    notification_ = ::RegisterDeviceNotificationA(dialog_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    return notification_ != nullptr;
}

void Win32Host::UnregisterDeviceNotification() {
    if (busEvents_ && devices_)
        devices_->SetEventHandler(nullptr);
    busEvents_ = false;
    if (notification_)
        ::UnregisterDeviceNotification(notification_);
    notification_ = nullptr;
}

intptr_t Win32Host::SendToWindow(unsigned message, uintptr_t wParam, intptr_t lParam) {
    if (OnUiThread())
        return logic_->OnUserMessage(message, wParam, lParam);
    return ::SendMessageA(dialog_, message, wParam, lParam);
}

void Win32Host::StartThread(std::function<void()> body) {
    std::lock_guard<std::mutex> hold(workersLock_);
    workers_.emplace_back(std::move(body));
}

std::unique_ptr<I_ProgressWindow> Win32Host::CreateProgressWindow(int templateId) {
    const DialogTemplate* dialog = FindDialogTemplate(templateId);
    if (!dialog)
        return nullptr;
    // The update window belongs to the main window; the load window has no
    // parent.
    HWND parent = templateId == ids::kUpdateProgressDialog ? dialog_ : nullptr;
    return std::make_unique<Win32ProgressWindow>(instance_, *dialog, parent);
}

int Win32Host::ShowMessageBox(const std::string& text, const std::string& caption, unsigned flags) {
    return ::MessageBoxA(dialog_, text.c_str(), caption.c_str(), flags);
}

} // namespace app::win32
