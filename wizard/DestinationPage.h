// The wizard's one page: what is installed, the destination folder, and Next to install.
#pragma once
#include "framework/PropertyPage.h"

class CWizPropertySheet;

class CWizPropertyPage : public fw::CPropertyPage {
public:
    explicit CWizPropertyPage(UINT templateId) noexcept : fw::CPropertyPage(templateId) {}
    ~CWizPropertyPage() override = default;

    int FirstActivation = 1;
    int Navigable = 1;
    CWizPropertySheet* OwnerSheet = nullptr;

    // The template id of the nearest navigable page forward (nonzero) or back, or -1.
    virtual LRESULT FindNeighbourPage(int forward);

protected:
    BOOL OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* result) override;
    BOOL OnSetActive() override;
    LRESULT OnWizardBack() override;
    LRESULT OnWizardNext() override;
    BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;

private:
    void OnBrowse();
    void FillTexts();
    void WarnViewerRunning();
};
