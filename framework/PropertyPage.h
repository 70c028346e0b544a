// A page of a property sheet, built from a dialog template. One static dialog procedure
// finds the object and dispatches to its virtual hooks; nothing crosses it but results.
#pragma once
#include <windows.h>
#include <commctrl.h>

#include "framework/Window.h"

namespace fw {

class CPropertyPage : public CWnd {
public:
    explicit CPropertyPage(UINT templateId, UINT captionId = 0) noexcept;
    ~CPropertyPage() override = default;

    PROPSHEETPAGEW m_psp{};
    UINT TemplateId() const noexcept { return templateId_; }

protected:
    // WM_NOTIFY from the sheet; the default calls the three wizard hooks. The result goes
    // to DWLP_MSGRESULT.
    virtual BOOL OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* result);
    // PSN_SETACTIVE: TRUE accepts the activation.
    virtual BOOL OnSetActive() { return TRUE; }
    // PSN_WIZBACK and PSN_WIZNEXT: -1 stays on the page, a template id moves to that page,
    // 0 moves to the adjacent one.
    virtual LRESULT OnWizardBack() { return 0; }
    virtual LRESULT OnWizardNext() { return 0; }
    // WM_COMMAND; TRUE when handled.
    virtual BOOL OnCommand(WPARAM, LPARAM) { return FALSE; }

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    UINT templateId_;
};

} // namespace fw
