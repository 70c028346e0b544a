#include "wizard/WizardSheet.h"

#include <cwchar>

#include "app/MessageIds.h"
#include "framework/MessageBox.h"
#include "framework/Strings.h"

CWizPropertySheet::CWizPropertySheet() noexcept : fw::CPropertySheet(L"Zorvalind Setup", nullptr, 0) {
    m_psh.dwFlags |= PSH_WIZARD;
}

BOOL CWizPropertySheet::OnInitDialog() {
    wmemset(InstallFolder, L'\0', 260);
    wcscpy(SetupCaption, L"Zorvalind PlugIns ARM 64-bit Setup");
    // Creates and activates the page, which may fill InstallFolder from the registry.
    BOOL result = fw::CPropertySheet::OnInitDialog();
    fw::CString exitLabel(IDS_EXIT);
    SetWindowTextW(GetDlgItem(IDCANCEL), exitLabel);
    SetWindowTextW(m_hWnd, SetupCaption);
    return result;
}

// Asked only while a folder is known; No (the default button) keeps the wizard open.
bool CWizPropertySheet::StayOnExitQuestion() {
    if (InstallFolder[0] == L'\0') return false;
    fw::CString question(IDS_EXIT_SETUP);
    return fw::ShowMessageBox(m_hWnd, question, SetupCaption, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDNO;
}

BOOL CWizPropertySheet::OnCommand(WPARAM wParam, LPARAM lParam) {
    if (LOWORD(wParam) == IDCANCEL && StayOnExitQuestion()) return TRUE;
    return fw::CPropertySheet::OnCommand(wParam, lParam);
}

void CWizPropertySheet::OnSysCommand(UINT id, LPARAM lParam) {
    if ((id & 0xFFF0) == SC_CLOSE && StayOnExitQuestion()) return;
    fw::CPropertySheet::OnSysCommand(id, lParam);
}
