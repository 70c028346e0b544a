#include "e2e/WizardDriver.h"

#include <commctrl.h>

#include <vector>

Wizard::Wizard(const std::wstring& executable, const std::wstring& currentDirectory, const std::wstring& arguments) {
    const std::wstring commandLine = L"\"" + executable + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    process_ = StartSetup(executable, commandLine, currentDirectory, true, &processId_);
}

Wizard::~Wizard() {
    if (process_ == nullptr) return;
    if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_, 255);
        WaitForSingleObject(process_, 5000);
    }
    CloseHandle(process_);
}

bool Wizard::WaitForSheet(DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (GetTickCount64() < deadline) {
        for (HWND w : ProcessDialogs(processId_)) {
            wchar_t title[128] = {};
            GetWindowTextW(w, title, 128);
            if (wcscmp(title, L"Zorvalind PlugIns ARM 64-bit Setup") == 0 && GetDlgItem(w, 12324) != nullptr) {
                sheet_ = w;
                page_ = FindWindowExW(w, nullptr, L"#32770", nullptr);
                if (page_ != nullptr) return true;
            }
        }
        if (WaitForSingleObject(process_, 50) != WAIT_TIMEOUT) return false;
    }
    return false;
}

std::wstring Wizard::Text(HWND window) const { return WindowText(window); }

void Wizard::SetField(const std::wstring& text) const {
    SendMessageW(GetDlgItem(page_, 1000), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void Wizard::PressSheetButton(int id) const {
    PostMessageW(sheet_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(sheet_, id)));
}

void Wizard::PressBrowse() const {
    PostMessageW(page_, WM_COMMAND, MAKEWPARAM(1009, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(page_, 1009)));
}

void Wizard::CloseFromTitleBar() const { PostMessageW(sheet_, WM_SYSCOMMAND, SC_CLOSE, 0); }

std::optional<Box> Wizard::WaitForBox(DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (GetTickCount64() < deadline) {
        if (HWND w = FindMessageBox(processId_, lastBox_)) {
            lastBox_ = w;
            return ReadBox(w);
        }
        if (WaitForSingleObject(process_, 50) != WAIT_TIMEOUT) return std::nullopt;
    }
    return std::nullopt;
}

void Wizard::Answer(const Box& box, int button) {
    PostMessageW(box.window, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
}

HWND Wizard::WaitForBrowseDialog(DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (GetTickCount64() < deadline) {
        for (HWND w : ProcessDialogs(processId_))
            if (HasChildOfClass(w, L"SysTreeView32")) {
                Sleep(300);  // the tree fills and selects after it shows
                return w;
            }
        Sleep(50);
    }
    return nullptr;
}

std::wstring Wizard::SelectedFolderName(HWND dialog) const {
    HWND tree = FindWindowExW(dialog, nullptr, L"SysTreeView32", nullptr);
    if (tree == nullptr) return {};
    auto item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
    if (item == nullptr) return {};
    // The item's text lives in the other process: ask for it into memory there.
    constexpr SIZE_T kChars = 260;
    void* remote = VirtualAllocEx(process_, nullptr, sizeof(TVITEMW) + kChars * sizeof(wchar_t), MEM_COMMIT | MEM_RESERVE,
                                  PAGE_READWRITE);
    if (remote == nullptr) return {};
    TVITEMW tv{};
    tv.mask = TVIF_TEXT;
    tv.hItem = item;
    tv.pszText = reinterpret_cast<wchar_t*>(static_cast<char*>(remote) + sizeof(TVITEMW));
    tv.cchTextMax = kChars;
    wchar_t text[kChars] = {};
    if (WriteProcessMemory(process_, remote, &tv, sizeof tv, nullptr) &&
        SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(remote)))
        ReadProcessMemory(process_, tv.pszText, text, sizeof text - sizeof(wchar_t), nullptr);
    VirtualFreeEx(process_, remote, 0, MEM_RELEASE);
    return text;
}

bool Wizard::WaitForExit(DWORD timeoutMs, DWORD& exitCode) {
    if (WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) return false;
    GetExitCodeProcess(process_, &exitCode);
    return true;
}
