// The wizard's frame: one page, the caption of every box, and the folder the whole
// interactive run shares.
#pragma once
#include "framework/Font.h"
#include "framework/PropertySheet.h"
#include "install/InstallPlugins.h"

class CWizPropertySheet : public fw::CPropertySheet {
public:
    CWizPropertySheet() noexcept;
    ~CWizPropertySheet() override = default;

    fw::CFont TitleFont;
    wchar_t InstallFolder[260];
    wchar_t SetupCaption[260];

    // How the page's install ended, if it ran; the exit code is taken from it.
    bool Installed = false;
    InstallOutcome Outcome = InstallOutcome::EmptyFolder;

protected:
    BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
    BOOL OnInitDialog() override;
    void OnSysCommand(UINT id, LPARAM lParam) override;

private:
    bool StayOnExitQuestion();
};
