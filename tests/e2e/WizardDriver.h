// Works the real wizard as a person would: finds it by its caption, its controls by id,
// reads and types texts, presses buttons, and reads and answers each message box.
#pragma once
#include <windows.h>

#include <optional>
#include <string>

#include "e2e/SetupProcess.h"

class Wizard {
public:
    // Starts the test host without "/silent" in currentDirectory.
    Wizard(const std::wstring& executable, const std::wstring& currentDirectory, const std::wstring& arguments = L"");
    ~Wizard();
    Wizard(const Wizard&) = delete;
    Wizard& operator=(const Wizard&) = delete;

    bool WaitForSheet(DWORD timeoutMs = 30000);
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
    std::optional<Box> WaitForBox(DWORD timeoutMs = 15000);
    static void Answer(const Box& box, int button);
    // The folder dialog of Browse.
    HWND WaitForBrowseDialog(DWORD timeoutMs = 15000);
    // The name of the folder selected in that dialog's tree.
    std::wstring SelectedFolderName(HWND dialog) const;
    bool SheetAlive() const { return IsWindow(sheet_) != FALSE; }

    // Waits for the process to end; false when it did not in time.
    bool WaitForExit(DWORD timeoutMs, DWORD& exitCode);
    HANDLE Process() const { return process_; }
    DWORD ProcessId() const { return processId_; }

private:
    HANDLE process_ = nullptr;
    DWORD processId_ = 0;
    HWND sheet_ = nullptr, page_ = nullptr;
    HWND lastBox_ = nullptr;
};
