#include "e2e/SetupProcess.h"

namespace {

struct Finder {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK FindBox(HWND window, LPARAM lParam) {
    auto* finder = reinterpret_cast<Finder*>(lParam);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    wchar_t cls[64] = {};
    GetClassNameW(window, cls, 64);
    // Message boxes only: they carry their text in control 0xFFFF.
    if (pid == finder->processId && wcscmp(cls, L"#32770") == 0 && IsWindowVisible(window) &&
        GetDlgItem(window, 0xFFFF) != nullptr) {
        finder->found = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK FindIcon(HWND child, LPARAM lParam) {
    wchar_t cls[32] = {};
    GetClassNameW(child, cls, 32);
    if (_wcsicmp(cls, L"Static") == 0 && (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
        SendMessageW(child, STM_GETICON, 0, 0) != 0)
        *reinterpret_cast<bool*>(lParam) = true;
    return TRUE;
}

SeenBox Read(HWND box) {
    SeenBox seen{};
    wchar_t buffer[2048] = {};
    GetWindowTextW(box, buffer, 2048);
    seen.caption = buffer;
    buffer[0] = L'\0';
    GetDlgItemTextW(box, 0xFFFF, buffer, 2048);
    seen.text = buffer;
    seen.hasIcon = false;
    EnumChildWindows(box, FindIcon, reinterpret_cast<LPARAM>(&seen.hasIcon));
    return seen;
}

} // namespace

SetupRun RunSetup(const SetupOptions& options) {
    SetupRun run;
    if (options.arm64)
        SetEnvironmentVariableW(L"ZORVALIND_SETUP_TEST_NATIVE_MACHINE", L"AA64");
    else
        SetEnvironmentVariableW(L"ZORVALIND_SETUP_TEST_NATIVE_MACHINE", nullptr);
    std::wstring commandLine = options.commandLine;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    BOOL started = CreateProcessW(options.executable.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                  options.currentDirectory.empty() ? nullptr : options.currentDirectory.c_str(), &si,
                                  &pi);
    SetEnvironmentVariableW(L"ZORVALIND_SETUP_TEST_NATIVE_MACHINE", nullptr);
    if (!started) return run;
    CloseHandle(pi.hThread);
    const ULONGLONG deadline = GetTickCount64() + options.timeoutMs;
    HWND answered = nullptr;
    while (WaitForSingleObject(pi.hProcess, 50) == WAIT_TIMEOUT) {
        if (GetTickCount64() > deadline) {
            TerminateProcess(pi.hProcess, 255);
            WaitForSingleObject(pi.hProcess, 5000);
            CloseHandle(pi.hProcess);
            return run;
        }
        Finder finder{pi.dwProcessId, nullptr};
        EnumWindows(FindBox, reinterpret_cast<LPARAM>(&finder));
        if (finder.found != nullptr && finder.found != answered) {
            Sleep(100);  // let the box finish laying itself out
            run.boxes.push_back(Read(finder.found));
            PostMessageW(finder.found, WM_COMMAND, MAKEWPARAM(options.answer, BN_CLICKED), 0);
            answered = finder.found;
        }
    }
    GetExitCodeProcess(pi.hProcess, &run.exitCode);
    CloseHandle(pi.hProcess);
    run.finished = true;
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
