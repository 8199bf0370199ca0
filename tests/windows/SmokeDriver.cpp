// Drives burnwright.exe from outside, as an operator would, for the smoke
// runs under wine: starts it, waits for its windows, checks what they show,
// signals the caller to take a screenshot, and closes it.
//
//   burnwright_smoke attached PROGRAM FOLDER   writer present: 16 grey lamps
//   burnwright_smoke detached PROGRAM FOLDER   no writer: the link's message box
//   burnwright_smoke stress PROGRAM FOLDER     developer mode, the caret in the
//                                              code number: a stress run of 3
//                                              counts down to 0 and ends
//
// FOLDER receives "ready" when the window can be photographed and is expected
// to receive "shot-done" before the driver closes the window.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr int kMultiDevice = 1127;
constexpr int kLampBase = 1079;
constexpr int kCodeNumberBox = 1077;
constexpr int kCodeNumber = 1078;
constexpr int kStress = 1041;
constexpr int kStressCount = 1100;
constexpr int kStressInterval = 1107;
constexpr DWORD kPatienceMs = 60000;

struct Search {
    DWORD process;
    const char* className;
    HWND found;
};

BOOL CALLBACK FindTop(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<Search*>(context);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    char name[64] = {};
    ::GetClassNameA(window, name, sizeof name);
    if (owner == search->process && ::IsWindowVisible(window) &&
        std::string(name) == search->className) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

std::string TextOf(HWND window) {
    char text[1024] = {};
    ::GetWindowTextA(window, text, sizeof text);
    return text;
}

// A visible dialog of `process` whose title starts with `title` (any title when empty).
HWND WaitForDialog(DWORD process, const std::string& title, HANDLE running) {
    for (DWORD waited = 0; waited < kPatienceMs; waited += 100) {
        Search search{process, "#32770", nullptr};
        ::EnumWindows(FindTop, reinterpret_cast<LPARAM>(&search));
        if (search.found && TextOf(search.found).rfind(title, 0) == 0)
            return search.found;
        if (::WaitForSingleObject(running, 100) == WAIT_OBJECT_0)
            return nullptr;
    }
    return nullptr;
}

bool Fail(const std::string& why) {
    std::fprintf(stderr, "smoke: %s\n", why.c_str());
    return false;
}

// The lamps must be shown and painted grey (the grey picture's centre).
bool LampsAreGrey(HWND dialog) {
    HDC screen = ::GetDC(nullptr);
    bool grey = true;
    for (int i = 0; i < 16 && grey; ++i) {
        HWND lamp = ::GetDlgItem(dialog, kLampBase + i);
        if (!lamp || !::IsWindowVisible(lamp))
            return Fail("lamp " + std::to_string(i + 1) + " is not shown");
        RECT r;
        ::GetWindowRect(lamp, &r);
        const COLORREF c = ::GetPixel(screen, r.left + 8, r.top + 8);
        const int red = GetRValue(c), green = GetGValue(c), blue = GetBValue(c);
        if (std::abs(red - green) > 12 || std::abs(green - blue) > 12 || red < 60 || red > 180) {
            char colour[64];
            std::snprintf(colour, sizeof colour, "RGB(%d, %d, %d)", red, green, blue);
            grey = Fail("lamp " + std::to_string(i + 1) + " is not grey: " + colour);
        }
    }
    ::ReleaseDC(nullptr, screen);
    return grey;
}

void Click(HWND dialog, int id) {
    ::SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(dialog, id)));
}

// The window writes its state into the controls at every stress tick; with
// the caret in an edit, that write must not read the controls back half
// written (the count would never go down).
bool StressCountsDown(HWND dialog, HANDLE running) {
    ::SendDlgItemMessageA(dialog, kCodeNumberBox, BM_SETCHECK, BST_CHECKED, 0);
    Click(dialog, kCodeNumberBox);
    ::SetDlgItemTextA(dialog, kStressCount, "3");
    ::SetDlgItemTextA(dialog, kStressInterval, "200");
    ::SendMessageA(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(::GetDlgItem(dialog, kCodeNumber)),
                   TRUE);
    Click(dialog, kStress);
    for (DWORD waited = 0; waited < kPatienceMs; waited += 100) {
        if (TextOf(::GetDlgItem(dialog, kStress)) == "Test Start")
            break;
        if (::WaitForSingleObject(running, 100) == WAIT_OBJECT_0)
            return Fail("the program ended during the stress run");
    }
    // An edit of another process gives its text only when asked by message.
    char text[32] = {};
    ::SendDlgItemMessageA(dialog, kStressCount, WM_GETTEXT, sizeof text,
                          reinterpret_cast<LPARAM>(text));
    const std::string count = text;
    std::printf("stress run ended with the count at %s\n", count.c_str());
    if (TextOf(::GetDlgItem(dialog, kStress)) != "Test Start")
        return Fail("the stress run did not end; its count reads " + count);
    return count == "0" || Fail("the stress run ended with its count at " + count);
}

void Signal(const std::string& folder, const char* name) {
    const std::string path = folder + "\\" + name;
    if (FILE* f = std::fopen(path.c_str(), "w"))
        std::fclose(f);
}

bool WaitForFile(const std::string& folder, const char* name) {
    const std::string path = folder + "\\" + name;
    for (DWORD waited = 0; waited < kPatienceMs; waited += 100) {
        if (::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES)
            return true;
        ::Sleep(100);
    }
    return false;
}

bool Run(const std::string& mode, const std::string& program, const std::string& folder) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::string command = "\"" + program + "\"";
    if (!::CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          folder.c_str(), &startup, &process))
        return Fail("cannot start " + program);
    HANDLE running = process.hProcess;
    bool ok = true;

    // Start-up may ask or tell something first (no writer, no body chosen):
    // each box is answered with OK, and the main window waits behind them.
    int boxes = 0;
    for (HWND box; ok && (box = WaitForDialog(process.dwProcessId, "", running)) &&
                   TextOf(box).rfind("MERiL Burnwright", 0) != 0 && boxes < 4;
         ++boxes) {
        HWND text = ::GetDlgItem(box, 0xFFFF);
        std::printf("message box \"%s\": %s\n", TextOf(box).c_str(),
                    text ? TextOf(text).c_str() : "");
        ::SendMessageA(box, WM_COMMAND, IDOK, 0);
        ::Sleep(300);
    }
    if (mode == "detached" && boxes == 0)
        ok = Fail("no message box at start-up");
    HWND main = ok ? WaitForDialog(process.dwProcessId, "MERiL Burnwright", running) : nullptr;
    if (!main)
        ok = ok && Fail("the main window did not come up");
    if (ok && mode == "stress")
        ok = StressCountsDown(main, running);
    if (ok && mode == "attached") {
        // Start-up shows one socket; the operator's switch shows all 16.
        ::SendDlgItemMessageA(main, kMultiDevice, BM_SETCHECK, BST_CHECKED, 0);
        ::SendMessageA(main, WM_COMMAND, MAKEWPARAM(kMultiDevice, BN_CLICKED),
                       reinterpret_cast<LPARAM>(::GetDlgItem(main, kMultiDevice)));
        ::RedrawWindow(main, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
        ::Sleep(500);
        ok = LampsAreGrey(main);
    }
    if (ok) {
        std::printf("main window \"%s\"\n", TextOf(main).c_str());
        Signal(folder, "ready");
        if (!WaitForFile(folder, "shot-done"))
            ok = Fail("no screenshot was taken");
        if (::WaitForSingleObject(running, 0) == WAIT_OBJECT_0)
            ok = Fail("the program ended by itself");
        ::PostMessageA(main, WM_CLOSE, 0, 0);
    }
    if (::WaitForSingleObject(running, 20000) != WAIT_OBJECT_0) {
        ::TerminateProcess(running, 99);
        ok = Fail("the program did not end when closed");
    }
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: burnwright_smoke attached|detached|stress PROGRAM FOLDER\n");
        return 2;
    }
    return Run(argv[1], argv[2], argv[3]) ? 0 : 1;
}
