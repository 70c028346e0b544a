// The application object: the entry point calls its start-up hook once; a hook that
// returns 0 ends the program without a message loop.
#pragma once
#include <windows.h>

#include "framework/Window.h"

namespace fw {

class CWinApp {
public:
    explicit CWinApp(const wchar_t* appName = nullptr) noexcept;
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // Start-up hook: nonzero runs the message loop.
    virtual BOOL InitInstance() { return FALSE; }
    virtual int Run();

    const wchar_t* AppName() const noexcept { return appName_; }
    void SetMainWindow(CWnd* window) noexcept { mainWindow_ = window; }
    CWnd* MainWindow() const noexcept { return mainWindow_; }
    void SetExitCode(int code) noexcept { exitCode_ = code; }
    int ExitCode() const noexcept { return exitCode_; }

private:
    const wchar_t* appName_;
    CWnd* mainWindow_ = nullptr;
    int exitCode_ = 0;
};

CWinApp* GetApp() noexcept;

} // namespace fw
