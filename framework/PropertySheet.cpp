#include "framework/PropertySheet.h"

#include "framework/Module.h"

namespace fw {
namespace {
// The sheet whose window is being created on this thread, and the hook that catches it.
CPropertySheet* g_creating = nullptr;
HHOOK g_hook = nullptr;
constexpr UINT_PTR kSubclassId = 1;
} // namespace

CPropertySheet::CPropertySheet(const wchar_t* caption, HWND parent, UINT startPage) noexcept {
    m_psh.dwSize = sizeof m_psh;
    m_psh.dwFlags = PSH_DEFAULT;
    m_psh.hwndParent = parent;
    m_psh.pszCaption = caption;
    m_psh.nStartPage = startPage;
}

CPropertySheet::~CPropertySheet() {
    if (m_hWnd != nullptr && IsWindow(m_hWnd)) DestroyWindow(m_hWnd);
}

void CPropertySheet::AddPage(CPropertyPage* page) noexcept {
    if (pageCount_ < kMaxPages) pages_[pageCount_++] = page;
}

CPropertyPage* CPropertySheet::GetPage(int index) const noexcept {
    return index >= 0 && index < pageCount_ ? pages_[index] : nullptr;
}

int CPropertySheet::GetActiveIndex() const noexcept {
    HWND current = m_hWnd != nullptr ? PropSheet_GetCurrentPageHwnd(m_hWnd) : nullptr;
    // While the sheet initialises, the page being activated is the start page.
    if (current == nullptr) return static_cast<int>(m_psh.nStartPage);
    return static_cast<int>(SendMessageW(m_hWnd, PSM_HWNDTOINDEX, reinterpret_cast<WPARAM>(current), 0));
}

LRESULT CALLBACK CPropertySheet::CreationHook(int code, WPARAM wParam, LPARAM lParam) {
    // The first window comctl32 creates is the sheet: subclass it before WM_INITDIALOG.
    if (code == HCBT_CREATEWND && g_creating != nullptr) {
        CPropertySheet* sheet = g_creating;
        g_creating = nullptr;
        sheet->m_hWnd = reinterpret_cast<HWND>(wParam);
        SetWindowSubclass(sheet->m_hWnd, SubclassProc, kSubclassId, reinterpret_cast<DWORD_PTR>(sheet));
    }
    return CallNextHookEx(g_hook, code, wParam, lParam);
}

INT_PTR CPropertySheet::DoModal() {
    HPROPSHEETPAGE handles[kMaxPages];
    int created = 0;
    for (int i = 0; i < pageCount_; ++i) {
        pages_[i]->m_psp.hInstance = ResourceInstance();
        HPROPSHEETPAGE h = CreatePropertySheetPageW(&pages_[i]->m_psp);
        if (h != nullptr) handles[created++] = h;
    }
    if (created == 0) return -1;

    PROPSHEETHEADERW header = m_psh;
    header.dwFlags = (m_psh.dwFlags & ~(PSH_PROPSHEETPAGE | PSH_MODELESS)) | PSH_MODELESS;
    header.hInstance = ResourceInstance();
    header.nPages = static_cast<UINT>(created);
    header.phpage = handles;

    HWND owner = m_psh.hwndParent;
    const bool ownerWasEnabled = owner != nullptr && IsWindowEnabled(owner);
    g_creating = this;
    g_hook = SetWindowsHookExW(WH_CBT, CreationHook, nullptr, GetCurrentThreadId());
    HWND sheet = reinterpret_cast<HWND>(PropertySheetW(&header));
    UnhookWindowsHookEx(g_hook);
    g_hook = nullptr;
    g_creating = nullptr;
    if (sheet == nullptr || sheet == reinterpret_cast<HWND>(-1)) {
        m_hWnd = nullptr;
        return -1;
    }
    m_hWnd = sheet;
    if (ownerWasEnabled) EnableWindow(owner, FALSE);

    // Until the window is gone: destroyed by a hook (the wizard's last step), or by us once
    // the sheet has no current page after Cancel or close.
    MSG msg;
    while (IsWindow(sheet)) {
        if (PropSheet_GetCurrentPageHwnd(sheet) == nullptr) {
            DestroyWindow(sheet);
            break;
        }
        BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (got < 0) break;
        if (!PropSheet_IsDialogMessage(sheet, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    if (ownerWasEnabled) {
        EnableWindow(owner, TRUE);
        SetActiveWindow(owner);
    }
    m_hWnd = nullptr;
    return 0;
}

LRESULT CPropertySheet::Default() {
    return DefSubclassProc(current_->hwnd, current_->message, current_->wParam, current_->lParam);
}

BOOL CPropertySheet::OnInitDialog() { return static_cast<BOOL>(Default()); }

BOOL CPropertySheet::OnCommand(WPARAM, LPARAM) { return static_cast<BOOL>(Default()); }

void CPropertySheet::OnSysCommand(UINT, LPARAM) { Default(); }

LRESULT CALLBACK CPropertySheet::SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                              DWORD_PTR self) {
    auto* sheet = reinterpret_cast<CPropertySheet*>(self);
    MSG msg{window, message, wParam, lParam, 0, {}};
    const MSG* outer = sheet->current_;
    sheet->current_ = &msg;
    LRESULT result;
    switch (message) {
    case WM_INITDIALOG:
        result = sheet->OnInitDialog();
        break;
    case WM_COMMAND:
        result = sheet->OnCommand(wParam, lParam);
        break;
    case WM_SYSCOMMAND:
        sheet->OnSysCommand(static_cast<UINT>(wParam), lParam);
        result = 0;
        break;
    case WM_NCDESTROY:
        RemoveWindowSubclass(window, SubclassProc, kSubclassId);
        result = DefSubclassProc(window, message, wParam, lParam);
        if (sheet->m_hWnd == window) sheet->m_hWnd = nullptr;
        break;
    default:
        result = DefSubclassProc(window, message, wParam, lParam);
        break;
    }
    sheet->current_ = outer;
    return result;
}

} // namespace fw
