#pragma once
#include <windows.h>

#include "framework/WinApp.h"

class TheApp : public fw::CWinApp {
public:
    TheApp() noexcept : fw::CWinApp(nullptr) {}
    ~TheApp() override = default;
    BOOL InitInstance() override;

    LOGFONTW TitleLogFont;
};
