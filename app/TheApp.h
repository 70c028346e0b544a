#pragma once
#include <windows.h>

#include "framework/WinApp.h"

struct SilentFolder;

// Where no window can be seen and no "/silent" was given, the log says so.
inline constexpr wchar_t kUnseenWizard[] =
    L"No window can be shown: nobody sees this session's windows.\nStart the setup with /silent.";

class TheApp : public fw::CWinApp {
public:
    TheApp() noexcept : fw::CWinApp(nullptr) {}
    ~TheApp() override = default;
    BOOL InitInstance() override;

    LOGFONTW TitleLogFont;

private:
    // The whole run; returns the exit code.
    int Run(const wchar_t* commandLine, bool silent, bool interactive, const SilentFolder& folder);
};
