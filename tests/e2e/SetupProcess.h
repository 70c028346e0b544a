// Runs the real setup program as a person or a deployment tool would, and answers every
// message box it shows: its text, caption and icon are recorded first.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "framework/Strings.h"
#include "support/LogEntries.h"

inline std::wstring Quoted(const std::wstring& s) { return L"\"" + s + L"\""; }
// The entry a log gets for message id of the catalogue.
inline std::string Entry(UINT id) { return ExpectedEntryFor(fw::CString(id).c_str()); }

struct Box {
    HWND window = nullptr;
    std::wstring caption, text;
    bool hasIcon = false;
    int defaultButton = 0;
};

// Starts the setup program (an empty executable: the one the command line names); the test host
// is told it runs on ARM64 when arm64 is set.
// desktop ("station\\desktop"), when given, is where it runs. Null when it could not be started.
HANDLE StartSetup(const std::wstring& executable, const std::wstring& commandLine,
                  const std::wstring& currentDirectory, bool arm64, DWORD* processId,
                  const wchar_t* desktop = nullptr);
// The visible dialogs of a process (class "#32770").
std::vector<HWND> ProcessDialogs(DWORD processId);
bool HasChildOfClass(HWND parent, const wchar_t* cls);
// A message box of the process other than skip, or null.
HWND FindMessageBox(DWORD processId, HWND skip);
// A window's text through WM_GETTEXT, which also reaches controls of another process.
std::wstring WindowText(HWND window);
Box ReadBox(HWND box);

struct SetupRun {
    bool finished = false;
    DWORD exitCode = 0;
    std::vector<Box> boxes;
};

struct SetupOptions {
    std::wstring executable;           // Windows path
    std::wstring commandLine;          // as GetCommandLineW will return it
    std::wstring currentDirectory;
    bool arm64 = true;                 // the test host reports an ARM64 machine
    DWORD timeoutMs = 120000;
    int answer = IDOK;                 // the button each box gets
};

SetupRun RunSetup(const SetupOptions& options);

// Starts the test host with commandLine, lets it run to the transaction's stage:index (hold,
// "<stage>:<index>"), and kills it there, as a reboot or a tool's time-out would. False when
// it never got there within a minute.
bool KillSetupAt(const std::wstring& commandLine, const std::wstring& currentDirectory, const wchar_t* hold);

// As a deployment tool runs it: on a window station and desktop of its own, which no user
// sees (made for the run; without WSF_VISIBLE, as session 0's). Nobody could answer a box
// there, so none is looked for: a run that waits is killed at the time-out and not finished.
struct UnseenRun {
    bool started = false, finished = false;
    DWORD exitCode = 0;
    ULONGLONG elapsedMs = 0;
};
UnseenRun RunSetupUnseen(const SetupOptions& options);

// A top-level window of the viewer's class, for as long as the object lives.
class FakeViewer {
public:
    FakeViewer();
    ~FakeViewer();
    FakeViewer(const FakeViewer&) = delete;
    FakeViewer& operator=(const FakeViewer&) = delete;

private:
    HWND window_ = nullptr;
};
