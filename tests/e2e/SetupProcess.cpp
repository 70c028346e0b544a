#include "e2e/SetupProcess.h"

#include <memory>

#include "framework/Handles.h"
#include "support/ManagedState.h"

// Every install registers an entry and keeps a copy: each test starts and ends without them.
static const bool kManagedStateKept = (KeepManagedStateForEachTest(), true);

HANDLE StartSetup(const std::wstring& executable, const std::wstring& commandLine,
                  const std::wstring& currentDirectory, bool arm64, DWORD* processId, const wchar_t* desktop) {
    SetEnvironmentVariableW(L"ZORVALIND_SETUP_TEST_NATIVE_MACHINE", arm64 ? L"AA64" : nullptr);
    std::wstring line = commandLine;
    std::wstring desktopName = desktop != nullptr ? desktop : L"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    if (desktop != nullptr) si.lpDesktop = desktopName.data();
    PROCESS_INFORMATION pi{};
    // No executable: the command line as written names it, as a tool runs an uninstall string.
    BOOL started = CreateProcessW(executable.empty() ? nullptr : executable.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                  currentDirectory.empty() ? nullptr : currentDirectory.c_str(), &si, &pi);
    SetEnvironmentVariableW(L"ZORVALIND_SETUP_TEST_NATIVE_MACHINE", nullptr);
    if (!started) return nullptr;
    CloseHandle(pi.hThread);
    *processId = pi.dwProcessId;
    return pi.hProcess;
}

std::vector<HWND> ProcessDialogs(DWORD processId) {
    struct Ctx { DWORD pid; std::vector<HWND> found; } ctx{processId, {}};
    EnumWindows(
        [](HWND w, LPARAM l) -> BOOL {
            auto* c = reinterpret_cast<Ctx*>(l);
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            wchar_t cls[64] = {};
            GetClassNameW(w, cls, 64);
            if (pid == c->pid && wcscmp(cls, L"#32770") == 0 && IsWindowVisible(w)) c->found.push_back(w);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&ctx));
    return ctx.found;
}

bool HasChildOfClass(HWND parent, const wchar_t* cls) {
    struct Ctx { const wchar_t* cls; bool found; } ctx{cls, false};
    EnumChildWindows(
        parent,
        [](HWND w, LPARAM l) -> BOOL {
            auto* c = reinterpret_cast<Ctx*>(l);
            wchar_t name[64] = {};
            GetClassNameW(w, name, 64);
            if (_wcsicmp(name, c->cls) == 0) c->found = true;
            return !c->found;
        },
        reinterpret_cast<LPARAM>(&ctx));
    return ctx.found;
}

HWND FindMessageBox(DWORD processId, HWND skip) {
    // Message boxes carry their text in control 0xFFFF; the folder dialog has a tree.
    for (HWND w : ProcessDialogs(processId))
        if (w != skip && GetDlgItem(w, 0xFFFF) != nullptr && !HasChildOfClass(w, L"SysTreeView32")) return w;
    return nullptr;
}

std::wstring WindowText(HWND window) {
    wchar_t buffer[2048] = {};
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, 5000, &copied);
    return buffer;
}

Box ReadBox(HWND w) {
    Sleep(100);  // let the box finish laying itself out
    Box box;
    box.window = w;
    box.caption = WindowText(w);
    box.text = WindowText(GetDlgItem(w, 0xFFFF));
    EnumChildWindows(
        w,
        [](HWND child, LPARAM l) -> BOOL {
            wchar_t cls[32] = {};
            GetClassNameW(child, cls, 32);
            if (_wcsicmp(cls, L"Static") == 0 && (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
                SendMessageW(child, STM_GETICON, 0, 0) != 0)
                *reinterpret_cast<bool*>(l) = true;
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&box.hasIcon));
    for (int id : {IDOK, IDCANCEL, IDYES, IDNO})
        if (HWND b = GetDlgItem(w, id); b != nullptr && (GetWindowLongW(b, GWL_STYLE) & 0xF) == BS_DEFPUSHBUTTON)
            box.defaultButton = id;
    return box;
}

SetupRun RunSetup(const SetupOptions& options) {
    SetupRun run;
    DWORD processId = 0;
    HANDLE process = StartSetup(options.executable, options.commandLine, options.currentDirectory, options.arm64,
                                &processId);
    if (process == nullptr) return run;
    const ULONGLONG deadline = GetTickCount64() + options.timeoutMs;
    HWND answered = nullptr;
    while (WaitForSingleObject(process, 50) == WAIT_TIMEOUT) {
        if (GetTickCount64() > deadline) {
            TerminateProcess(process, 255);
            WaitForSingleObject(process, 5000);
            CloseHandle(process);
            return run;
        }
        if (HWND box = FindMessageBox(processId, answered)) {
            run.boxes.push_back(ReadBox(box));
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(options.answer, BN_CLICKED), 0);
            answered = box;
        }
    }
    GetExitCodeProcess(process, &run.exitCode);
    CloseHandle(process);
    run.finished = true;
    return run;
}

namespace {
struct StationCloser {
    void operator()(HWINSTA s) const noexcept { CloseWindowStation(s); }
};
struct DesktopCloser {
    void operator()(HDESK d) const noexcept { CloseDesktop(d); }
};
// Makes the desktop on the station, then puts this process back on its own station.
HDESK CreateDesktopOn(HWINSTA station, const wchar_t* name) {
    HWINSTA own = GetProcessWindowStation();
    if (!SetProcessWindowStation(station)) return nullptr;
    HDESK desktop = CreateDesktopW(name, nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    SetProcessWindowStation(own);
    return desktop;
}
} // namespace

UnseenRun RunSetupUnseen(const SetupOptions& options) {
    UnseenRun run;
    static unsigned serial = 0;
    wchar_t stationName[64];
    swprintf(stationName, 64, L"ZorvalindUnseen-%lu-%u", GetCurrentProcessId(), ++serial);
    std::unique_ptr<std::remove_pointer_t<HWINSTA>, StationCloser> station(
        CreateWindowStationW(stationName, 0, GENERIC_ALL, nullptr));
    if (!station) return run;
    std::unique_ptr<std::remove_pointer_t<HDESK>, DesktopCloser> desktop(CreateDesktopOn(station.get(), L"Default"));
    if (!desktop) return run;
    const std::wstring where = std::wstring(stationName) + L"\\Default";
    DWORD processId = 0;
    const ULONGLONG began = GetTickCount64();
    fw::unique_hfile process(StartSetup(options.executable, options.commandLine, options.currentDirectory,
                                        options.arm64, &processId, where.c_str()));
    if (!fw::Valid(process)) return run;
    run.started = true;
    if (WaitForSingleObject(process.get(), options.timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 255);
        WaitForSingleObject(process.get(), 5000);
        run.elapsedMs = GetTickCount64() - began;
        return run;
    }
    run.elapsedMs = GetTickCount64() - began;
    run.finished = GetExitCodeProcess(process.get(), &run.exitCode) != FALSE;
    return run;
}

namespace {
LRESULT CALLBACK ViewerProc(HWND w, UINT m, WPARAM wp, LPARAM lp) { return DefWindowProcW(w, m, wp, lp); }
} // namespace

FakeViewer::FakeViewer() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = ViewerProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"Zorvalind";
    RegisterClassW(&wc);
    window_ = CreateWindowExW(0, L"Zorvalind", L"Some picture - Zorvalind", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                              nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
}

FakeViewer::~FakeViewer() {
    if (window_ != nullptr) DestroyWindow(window_);
}

bool KillSetupAt(const std::wstring& commandLine, const std::wstring& currentDirectory, const wchar_t* hold) {
    HANDLE held = CreateEventW(nullptr, TRUE, FALSE, L"Local\\ZorvalindSetupTestHeld");
    if (held == nullptr) return false;
    ResetEvent(held);
    SetEnvironmentVariableW(L"ZORVALIND_SETUP_TEST_HOLD", hold);
    DWORD pid = 0;
    HANDLE process = StartSetup(SETUP_TESTHOST_EXE, commandLine, currentDirectory, true, &pid);
    SetEnvironmentVariableW(L"ZORVALIND_SETUP_TEST_HOLD", nullptr);
    bool reached = false;
    if (process != nullptr) {
        reached = WaitForSingleObject(held, 60000) == WAIT_OBJECT_0;
        TerminateProcess(process, 99);
        WaitForSingleObject(process, 30000);
        CloseHandle(process);
    }
    CloseHandle(held);
    return reached;
}
