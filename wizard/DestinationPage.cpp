#include "wizard/DestinationPage.h"

#include <cwchar>

#include "app/InstallFolderRegistry.h"
#include "app/MessageIds.h"
#include "app/Version.h"
#include "app/ViewerWindow.h"
#include "framework/MessageBox.h"
#include "framework/Module.h"
#include "framework/Strings.h"
#include "wizard/FolderBrowser.h"
#include "wizard/FolderText.h"
#include "wizard/FormatText.h"
#include "wizard/WizardSheet.h"

namespace {
constexpr int kProductMajor = PRODUCT_VERSION_MAJOR, kProductMinor = PRODUCT_VERSION_MINOR;
constexpr wchar_t kPlatformLabel[] = L"ARM 64";
constexpr wchar_t kNoOtherFolderText[] = L"(Do NOT install these PlugIns to Zorvalind x86/x64 folder/version)";
constexpr int kBackButton = 12323, kNextButton = 12324;
constexpr int kFolderField = 1000, kBrowseButton = 1009, kWelcome = 1013, kNextLabel = 1017, kWarning = 1018,
              kIntro = 1019, kRegistryHint = 1020;

// A control's whole text, formatted with wide-string arguments and written back.
void FormatControl(HWND page, int id, const wchar_t* const* args, int count) {
    wchar_t format[1024], text[1024];
    GetDlgItemTextW(page, id, format, 1024);
    FormatStrings(format, args, count, text, 1024);
    SetDlgItemTextW(page, id, text);
}
} // namespace

BOOL CWizPropertyPage::OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* result) {
    return fw::CPropertyPage::OnNotify(wParam, lParam, result);
}

void CWizPropertyPage::WarnViewerRunning() {
    fw::CString text(IDS_VIEWER_RUNNING);
    fw::ShowMessageBox(m_hWnd, text, OwnerSheet->SetupCaption, MB_OK | MB_ICONWARNING);
}

void CWizPropertyPage::FillTexts() {
    SendDlgItemMessageW(m_hWnd, kWelcome, WM_SETFONT, reinterpret_cast<WPARAM>(OwnerSheet->TitleFont.GetSafeHandle()),
                        TRUE);
    wchar_t version[32], platform[32];
    swprintf(version, 32, L"%d.%d", kProductMajor, kProductMinor);
    wcscpy(platform, kPlatformLabel);
    const wchar_t* introArgs[] = {version, platform, platform};
    FormatControl(m_hWnd, kIntro, introArgs, 3);
    const wchar_t* hintArgs[] = {platform};
    FormatControl(m_hWnd, kRegistryHint, hintArgs, 1);
    SetDlgItemTextW(m_hWnd, kWarning, kNoOtherFolderText);

    wmemset(OwnerSheet->InstallFolder, L'\0', 260);
    if (FindInstallFolderInRegistry(OwnerSheet->InstallFolder) != 0)
        SetDlgItemTextW(m_hWnd, kFolderField, OwnerSheet->InstallFolder);

    // A translated Next button: the instruction line names it as it reads.
    wchar_t label[64] = {};
    GetWindowTextW(OwnerSheet->GetDlgItem(kNextButton), label, 64);
    if (wcsstr(label, L"Next") == nullptr) {
        wchar_t quoted[256];
        swprintf(quoted, 256, L"\"%ls\"", label);
        SetDlgItemTextW(m_hWnd, kNextLabel, quoted);
    }
}

BOOL CWizPropertyPage::OnSetActive() {
    if (OwnerSheet->GetActiveIndex() == 0) {
        EnableWindow(OwnerSheet->GetDlgItem(kBackButton), FALSE);
        HICON icon = LoadIconW(fw::ResourceInstance(), MAKEINTRESOURCEW(111));
        SendMessageW(OwnerSheet->m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
        if (FirstActivation != 0) FillTexts();
        if (IsViewerRunning()) WarnViewerRunning();
        FirstActivation = 0;
    }
    return fw::CPropertyPage::OnSetActive();
}

LRESULT CWizPropertyPage::OnWizardBack() { return FindNeighbourPage(0); }

LRESULT CWizPropertyPage::OnWizardNext() {
    if (IsViewerRunning()) {
        WarnViewerRunning();
        return -1;
    }
    wchar_t* folder = OwnerSheet->InstallFolder;
    wmemset(folder, L'\0', 260);
    GetDlgItemTextW(m_hWnd, kFolderField, folder, 260);
    TrimFolderText(folder);
    if (folder[0] != L'\0' && HasDrive(folder)) {
        OwnerSheet->Outcome = InstallPlugins(folder, OwnerSheet->SetupCaption);
        OwnerSheet->Installed = true;
        DestroyWindow(OwnerSheet->m_hWnd);
        return FindNeighbourPage(1);
    }
    fw::CString text(IDS_INVALID_DESTINATION);
    fw::ShowMessageBox(m_hWnd, text, OwnerSheet->SetupCaption, MB_OK | MB_ICONWARNING);
    return -1;
}

LRESULT CWizPropertyPage::FindNeighbourPage(int forward) {
    const int step = forward != 0 ? 1 : -1;
    const int count = OwnerSheet->GetPageCount();
    for (int index = OwnerSheet->GetActiveIndex() + step; index >= 0 && index < count; index += step) {
        auto* page = static_cast<CWizPropertyPage*>(OwnerSheet->GetPage(index));
        if (page->Navigable != 0) return static_cast<LRESULT>(page->TemplateId());
    }
    return -1;
}

BOOL CWizPropertyPage::OnCommand(WPARAM wParam, LPARAM) {
    if (LOWORD(wParam) == kBrowseButton && HIWORD(wParam) == BN_CLICKED) {
        OnBrowse();
        return TRUE;
    }
    return FALSE;
}

void CWizPropertyPage::OnBrowse() {
    wchar_t path[260] = {};
    GetDlgItemTextW(m_hWnd, kFolderField, path, 260);
    if (BrowseForFolder(GetActiveWindow(), path) == 0) return;
    size_t length = wcslen(path);
    if (length > 0 && path[length - 1] != L'\\' && length + 1 < 260) wcscpy(path + length, L"\\");
    SetDlgItemTextW(m_hWnd, kFolderField, path);
}
