#include "framework/PropertyPage.h"

namespace fw {

CPropertyPage::CPropertyPage(UINT templateId, UINT captionId) noexcept : templateId_(templateId) {
    m_psp.dwSize = sizeof m_psp;
    m_psp.dwFlags = PSP_DEFAULT | (captionId != 0 ? PSP_USETITLE : 0);
    m_psp.hInstance = nullptr;  // set by the sheet
    m_psp.pszTemplate = MAKEINTRESOURCEW(templateId);
    m_psp.pszTitle = MAKEINTRESOURCEW(captionId);
    m_psp.pfnDlgProc = DialogProc;
    m_psp.lParam = reinterpret_cast<LPARAM>(this);
}

BOOL CPropertyPage::OnNotify(WPARAM, LPARAM lParam, LRESULT* result) {
    switch (reinterpret_cast<const NMHDR*>(lParam)->code) {
    case PSN_SETACTIVE:
        *result = OnSetActive() ? 0 : -1;
        return TRUE;
    case PSN_WIZBACK:
        *result = OnWizardBack();
        return TRUE;
    case PSN_WIZNEXT:
        *result = OnWizardNext();
        return TRUE;
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK CPropertyPage::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    CPropertyPage* page;
    if (message == WM_INITDIALOG) {
        page = reinterpret_cast<CPropertyPage*>(reinterpret_cast<const PROPSHEETPAGEW*>(lParam)->lParam);
        SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(page));
        page->m_hWnd = window;
        return TRUE;
    }
    page = reinterpret_cast<CPropertyPage*>(GetWindowLongPtrW(window, DWLP_USER));
    if (page == nullptr) return FALSE;
    switch (message) {
    case WM_NOTIFY: {
        LRESULT result = 0;
        if (!page->OnNotify(wParam, lParam, &result)) return FALSE;
        // The one place a hook's result goes back to the sheet. A hook may have destroyed
        // the sheet, and the page with it.
        if (IsWindow(window)) SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
        return TRUE;
    }
    case WM_COMMAND:
        return page->OnCommand(wParam, lParam);
    case WM_NCDESTROY:
        page->m_hWnd = nullptr;
        return FALSE;
    default:
        return FALSE;
    }
}

} // namespace fw
