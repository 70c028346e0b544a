#include "e2e/WizardDriver.h"

#include <commctrl.h>

#include <cstdio>
#include <string>
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

namespace {

std::string Narrow(const std::wstring& text) {
    std::string bytes;
    for (wchar_t c : text) bytes += c < 0x80 ? static_cast<char>(c) : '?';
    return bytes;
}

// A message that the window's thread answers only from a message loop: true once it has.
bool Answers(HWND window) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &result) != 0;
}

HWND TreeOf(HWND dialog) { return FindWindowExW(dialog, nullptr, L"SysTreeView32", nullptr); }

bool TreeHoldsAnItem(HWND dialog) {
    HWND tree = TreeOf(dialog);
    DWORD_PTR root = 0;
    return tree != nullptr &&
           SendMessageTimeoutW(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0, SMTO_ABORTIFHUNG, 2000, &root) != 0 && root != 0;
}

} // namespace

template <class Sign> bool Wizard::Until(const char* what, DWORD timeoutMs, Sign sign) {
    const ULONGLONG began = GetTickCount64();
    for (;;) {
        if (sign()) {
            gaveUp_.clear();
            return true;
        }
        const ULONGLONG waited = GetTickCount64() - began;
        const DWORD state = process_ != nullptr ? WaitForSingleObject(process_, 0) : WAIT_FAILED;
        if (state != WAIT_TIMEOUT || waited >= timeoutMs) {
            char head[160];
            snprintf(head, sizeof head, " after %llu ms (limit %lu ms): ", waited, static_cast<unsigned long>(timeoutMs));
            gaveUp_.assign("gave up waiting for ").append(what).append(head);
            DWORD code = 0;
            if (state == WAIT_TIMEOUT)
                gaveUp_.append("the setup still runs");
            else if (state == WAIT_OBJECT_0 && GetExitCodeProcess(process_, &code))
                gaveUp_.append("the setup ended with exit code ").append(std::to_string(code));
            else
                gaveUp_.append("the setup was not started");
            const std::vector<HWND> dialogs = ProcessDialogs(processId_);
            gaveUp_.append("; its visible dialogs: ").append(std::to_string(dialogs.size()));
            for (HWND w : dialogs) {
                gaveUp_.append(" [\"").append(Narrow(WindowText(w))).append("\"");
                if (TreeOf(w) != nullptr) gaveUp_.append(", a folder tree");
                if (HWND text = GetDlgItem(w, 0xFFFF)) gaveUp_.append(", box text \"").append(Narrow(WindowText(text))).append("\"");
                gaveUp_.append("]");
            }
            return false;
        }
        Sleep(50);
    }
}

bool Wizard::WaitForSheet(DWORD timeoutMs) {
    return Until("the wizard: a dialog captioned \"Zorvalind PlugIns ARM 64-bit Setup\" with Next and its page",
                 timeoutMs, [this] {
                     for (HWND w : ProcessDialogs(processId_)) {
                         wchar_t title[128] = {};
                         GetWindowTextW(w, title, 128);
                         if (wcscmp(title, L"Zorvalind PlugIns ARM 64-bit Setup") != 0 || GetDlgItem(w, 12324) == nullptr)
                             continue;
                         HWND page = FindWindowExW(w, nullptr, L"#32770", nullptr);
                         if (page == nullptr) continue;
                         sheet_ = w;
                         page_ = page;
                         return true;
                     }
                     return false;
                 });
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
    HWND found = nullptr;
    if (!Until("a message box (a dialog with a text control 0xFFFF) other than the one before", timeoutMs,
               [&] { return (found = FindMessageBox(processId_, lastBox_)) != nullptr; }))
        return std::nullopt;
    lastBox_ = found;
    return ReadBox(found);
}

void Wizard::Answer(const Box& box, int button) {
    PostMessageW(box.window, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
}

HWND Wizard::WaitForBrowseDialog(DWORD timeoutMs) {
    HWND found = nullptr;
    const bool shown = Until("the folder dialog: a new dialog whose folder tree holds an item", timeoutMs, [&] {
        for (HWND w : ProcessDialogs(processId_))
            if (w != lastBrowse_ && TreeHoldsAnItem(w)) {
                found = w;
                return true;
            }
        return false;
    });
    if (!shown) return nullptr;
    lastBrowse_ = found;
    return found;
}

bool Wizard::WaitForSelection(HWND dialog, const std::wstring& name, bool whole, DWORD timeoutMs) {
    const std::string what = std::string(whole ? "\"" : "an item with \"")
                                 .append(Narrow(name))
                                 .append("\" selected in the folder dialog's tree");
    std::wstring selected;
    const bool ok = Until(what.c_str(), timeoutMs, [&] {
        selected = SelectedFolderName(dialog);
        return whole ? selected == name : selected.find(name) != std::wstring::npos;
    });
    if (!ok) gaveUp_.append("; selected: \"").append(Narrow(selected)).append("\"");
    return ok;
}

bool Wizard::WaitUntilHandled(HWND window, DWORD timeoutMs) {
    return Until("the answered window to close and the wizard to handle messages again", timeoutMs,
                 [&] { return !IsWindow(window) && (!IsWindow(sheet_) || Answers(sheet_)); });
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
