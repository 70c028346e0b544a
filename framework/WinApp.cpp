#include "framework/WinApp.h"

#include "framework/Module.h"

namespace fw {
namespace {
CWinApp* g_app = nullptr;
}

CWinApp::CWinApp(const wchar_t* appName) noexcept : appName_(appName) { g_app = this; }

CWinApp::~CWinApp() {
    if (g_app == this) g_app = nullptr;
}

int CWinApp::Run() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

CWinApp* GetApp() noexcept { return g_app; }

} // namespace fw

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    fw::SetResourceInstance(instance);
    fw::CWinApp* app = fw::GetApp();
    if (app == nullptr) return -1;
    if (app->InitInstance()) app->SetExitCode(app->Run());
    // The hook's own window is normally gone by now; whatever is left is destroyed.
    if (fw::CWnd* window = app->MainWindow(); window != nullptr && window->GetSafeHwnd() != nullptr)
        DestroyWindow(window->GetSafeHwnd());
    return app->ExitCode();
}
