// Runs the real setup program as a person or a deployment tool would, and answers every
// message box it shows: its text, caption and icon are recorded first.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

struct SeenBox {
    std::wstring caption, text;
    bool hasIcon;
};

struct SetupRun {
    bool finished = false;
    DWORD exitCode = 0;
    std::vector<SeenBox> boxes;
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
