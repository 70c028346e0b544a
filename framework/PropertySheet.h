// A property sheet over comctl32, run modally the way the platform's own framework does:
// created modeless, its owner disabled, messages pumped until its window is gone.
#pragma once
#include <windows.h>
#include <commctrl.h>

#include "framework/PropertyPage.h"
#include "framework/Window.h"

namespace fw {

class CPropertySheet : public CWnd {
public:
    CPropertySheet(const wchar_t* caption, HWND parent, UINT startPage) noexcept;
    ~CPropertySheet() override;
    CPropertySheet(const CPropertySheet&) = delete;
    CPropertySheet& operator=(const CPropertySheet&) = delete;

    void AddPage(CPropertyPage* page) noexcept;
    // Returns when the window is gone: 0, or -1 when the sheet could not be created.
    INT_PTR DoModal();

    int GetPageCount() const noexcept { return pageCount_; }
    CPropertyPage* GetPage(int index) const noexcept;
    int GetActiveIndex() const noexcept;
    HWND GetDlgItem(int id) const noexcept { return ::GetDlgItem(m_hWnd, id); }

    PROPSHEETHEADERW m_psh{};

protected:
    // WM_INITDIALOG of the sheet's window: the default is comctl32's own initialisation,
    // which creates and activates the first page.
    virtual BOOL OnInitDialog();
    // WM_COMMAND; the default is comctl32's handling.
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
    // WM_SYSCOMMAND; the default is the dialog's own handling.
    virtual void OnSysCommand(UINT id, LPARAM lParam);

private:
    static LRESULT CALLBACK SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                         DWORD_PTR self);
    static LRESULT CALLBACK CreationHook(int code, WPARAM wParam, LPARAM lParam);
    LRESULT Default();

    static constexpr int kMaxPages = 8;
    CPropertyPage* pages_[kMaxPages] = {};
    int pageCount_ = 0;
    const MSG* current_ = nullptr;  // the message being handled, for Default()
};

} // namespace fw
