// Works the real wizard as a person would: finds it by its caption, its controls by id,
// reads and types texts, presses buttons, and reads and answers each message box.
#pragma once
#include <windows.h>

#include <optional>
#include <string>

#include "e2e/SetupProcess.h"

// How long a wait for a window of the setup may take: a Wine process that starts, or the
// shell's folder dialog that fills its tree, takes seconds on a quiet machine and many times
// that on a two-core machine with both cores busy.
inline constexpr DWORD kWindowWaitMs = 90000;

class Wizard {
public:
    // Starts the test host without "/silent" in currentDirectory.
    Wizard(const std::wstring& executable, const std::wstring& currentDirectory, const std::wstring& arguments = L"");
    ~Wizard();
    Wizard(const Wizard&) = delete;
    Wizard& operator=(const Wizard&) = delete;

    // Each wait polls for a sign that its window is there (or gone), gives up early when the
    // process ends, and then GaveUp() says what it waited for, how long, and what it saw.
    bool WaitForSheet(DWORD timeoutMs = kWindowWaitMs);
    const std::string& GaveUp() const { return gaveUp_; }
    HWND Sheet() const { return sheet_; }
    HWND Page() const { return page_; }

    std::wstring Text(HWND window) const;
    std::wstring PageText(int id) const { return Text(GetDlgItem(page_, id)); }
    std::wstring SheetText(int id) const { return Text(GetDlgItem(sheet_, id)); }
    void SetField(const std::wstring& text) const;
    void PressSheetButton(int id) const;   // Back 12323, Next 12324, Exit 2
    void PressBrowse() const;
    void CloseFromTitleBar() const;

    // The next message box of the process, if one shows within the time.
    std::optional<Box> WaitForBox(DWORD timeoutMs = kWindowWaitMs);
    static void Answer(const Box& box, int button);
    // The folder dialog of Browse, another than the one before, once its tree holds an item.
    HWND WaitForBrowseDialog(DWORD timeoutMs = kWindowWaitMs);
    // The name of the folder selected in that dialog's tree.
    std::wstring SelectedFolderName(HWND dialog) const;
    // whole: the name is the item's text; otherwise a part of it.
    bool WaitForSelection(HWND dialog, const std::wstring& name, bool whole = true, DWORD timeoutMs = kWindowWaitMs);
    // window (a box or the folder dialog, just answered) is gone and the sheet handles
    // messages again: whatever the answer made the page do is done.
    bool WaitUntilHandled(HWND window, DWORD timeoutMs = kWindowWaitMs);
    bool SheetAlive() const { return IsWindow(sheet_) != FALSE; }

    // Waits for the process to end; false when it did not in time.
    bool WaitForExit(DWORD timeoutMs, DWORD& exitCode);
    HANDLE Process() const { return process_; }
    DWORD ProcessId() const { return processId_; }

private:
    // Polls sign every 50 ms until it holds, the process ends or timeoutMs pass.
    template <class Sign> bool Until(const char* what, DWORD timeoutMs, Sign sign);

    HANDLE process_ = nullptr;
    DWORD processId_ = 0;
    HWND sheet_ = nullptr, page_ = nullptr;
    HWND lastBox_ = nullptr, lastBrowse_ = nullptr;
    std::string gaveUp_;
};
