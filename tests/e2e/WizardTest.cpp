// The wizard, worked on an X display as a person would work it.
#include <gtest/gtest.h>

#include <windows.h>

#include "app/MessageIds.h"
#include "e2e/WizardDriver.h"
#include "framework/Strings.h"
#include "support/RegistryGuard.h"
#include "support/ScratchFolder.h"
#include "support/TestArchive.h"
#include "support/Unix.h"

namespace {

const wchar_t kCaption[] = L"Zorvalind PlugIns ARM 64-bit Setup";
constexpr int kBack = 12323, kNext = 12324;

std::wstring Message(UINT id) { return fw::CString(id).c_str(); }

class WizardTest : public ::testing::Test {
protected:
    ScratchFolder scratch;
    std::wstring start = scratch / L"start";
    std::wstring registered = scratch / L"Viewer";
    RegistryGuard registry;

    void SetUp() override {
        ASSERT_TRUE(CreateDirectoryW(start.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(registered.c_str(), nullptr));
        ASSERT_TRUE(registry.RemoveKey(RegistryGuard::kCommandKey));
    }
    void Register() {
        ASSERT_TRUE(registry.SetString(RegistryGuard::kCommandKey, nullptr,
                                       L"\"" + registered + L"\\zorvi64.exe\" \"%1\""));
    }
    bool InstalledIn(const std::wstring& folder) { return !ListFiles(folder + L"\\Plugins").empty(); }
    // The box that must come next: its text and caption, then it is answered, and what the
    // answer makes the wizard do is done.
    void ExpectBox(Wizard& wizard, const std::wstring& text, int answer = IDOK) {
        std::optional<Box> box = wizard.WaitForBox();
        ASSERT_TRUE(box.has_value()) << "no box with: " << std::string(text.begin(), text.end()) << "; "
                                     << wizard.GaveUp();
        EXPECT_EQ(box->text, text);
        EXPECT_EQ(box->caption, kCaption);
        EXPECT_TRUE(box->hasIcon);
        Wizard::Answer(*box, answer);
        EXPECT_TRUE(wizard.WaitUntilHandled(box->window)) << wizard.GaveUp();
    }
    DWORD ExitCode(Wizard& wizard) {
        DWORD code = 999;
        EXPECT_TRUE(wizard.WaitForExit(30000, code)) << "the program did not end";
        return code;
    }
};

TEST_F(WizardTest, OpensWithItsTextsAndThePreFilledFolder) {
    Register();
    Wizard wizard(SETUP_TESTHOST_EXE, start);
    ASSERT_TRUE(wizard.WaitForSheet()) << wizard.GaveUp();
    EXPECT_EQ(wizard.Text(wizard.Sheet()), kCaption);
    EXPECT_EQ(wizard.SheetText(IDCANCEL), L"Exit");
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(wizard.Sheet(), kBack)));
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(wizard.Sheet(), kNext)));
    EXPECT_EQ(wizard.PageText(1019),
              L"This program will install additional Zorvalind PlugIns version  4.76 (ARM 64 bit)  on your system.\n"
              L"(it should be started with Admin permissions)\n\nThe destination folder must be your (base) Zorvalind "
              L"ARM 64-bit folder.");
    EXPECT_EQ(wizard.PageText(1020), L"If the installer can't find Zorvalind-ARM 64 in the system registry, please "
                                     L"use the 'Browse' button and find it manually.");
    EXPECT_EQ(wizard.PageText(1018), L"(Do NOT install these PlugIns to Zorvalind x86/x64 folder/version)");
    EXPECT_EQ(wizard.PageText(1017), L"\"Next\"");
    EXPECT_EQ(wizard.PageText(1013), L"Welcome to Zorvalind PlugIns setup!");
    EXPECT_EQ(wizard.PageText(1000), registered + L"\\");

    // A picture of it for people to look at.
    RECT r;
    GetWindowRect(wizard.Sheet(), &r);
    wchar_t geometry[64];
    swprintf(geometry, 64, L"%ldx%ld+%ld+%ld", r.right - r.left, r.bottom - r.top, r.left, r.top);
    DeleteFileW(SCREENSHOT);
    RunShell(L"import -window root -crop $0 \\\"$1\\\"", geometry, UnixPath(SCREENSHOT));
    EXPECT_TRUE(Exists(SCREENSHOT));

    wizard.PressSheetButton(IDCANCEL);
    ExpectBox(wizard, Message(IDS_EXIT_SETUP), IDYES);
    EXPECT_EQ(ExitCode(wizard), 2u);
}

TEST_F(WizardTest, NextInstallsThenCloses) {
    Register();
    {
        Wizard wizard(SETUP_TESTHOST_EXE, start);
        ASSERT_TRUE(wizard.WaitForSheet()) << wizard.GaveUp();
        wizard.PressSheetButton(kNext);
        ExpectBox(wizard, Message(IDS_INSTALLED));
        EXPECT_EQ(ExitCode(wizard), 0u);
        EXPECT_TRUE(InstalledIn(registered));
        // Every file with the date and time the pack stores for it.
        const auto archived = ArchivedTimes(PAYLOAD_ARCHIVE);
        for (const std::wstring& f : ListFiles(registered + L"\\Plugins")) {
            auto it = archived.find(f);
            ASSERT_NE(it, archived.end()) << std::string(f.begin(), f.end());
            EXPECT_EQ(LocalDosTime(registered + L"\\Plugins\\" + f), it->second);
        }
    }
    // A Plugins that is a file: the pack cannot be unpacked; the wizard still closes.
    const std::wstring blocked = scratch / L"Blocked";
    ASSERT_TRUE(CreateDirectoryW(blocked.c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(blocked + L"\\Plugins", "a file"));
    Wizard wizard(SETUP_TESTHOST_EXE, start);
    ASSERT_TRUE(wizard.WaitForSheet()) << wizard.GaveUp();
    wizard.SetField(L"  " + blocked + L"  ");
    wizard.PressSheetButton(kNext);
    ExpectBox(wizard, Message(IDS_CANT_INSTALL));
    EXPECT_EQ(ExitCode(wizard), 4u);
    EXPECT_FALSE(Exists(start + L"\\Zorvalind_Install.log"));
}

TEST_F(WizardTest, InvalidFoldersAreRefusedAndKept) {
    Wizard wizard(SETUP_TESTHOST_EXE, start);
    ASSERT_TRUE(wizard.WaitForSheet()) << wizard.GaveUp();
    const std::wstring tooLong = L"C:\\" + std::wstring(256, L'x') + L"\\";
    for (const std::wstring& folder : {std::wstring(L""), std::wstring(L"   "), std::wstring(L"Data\\Viewer\\"),
                                       std::wstring(L"\\\\server\\share\\"), std::wstring(L"\tC:\\Data"), tooLong}) {
        SCOPED_TRACE(std::string(folder.begin(), folder.end()));
        wizard.SetField(folder);
        wizard.PressSheetButton(kNext);
        ExpectBox(wizard, Message(IDS_INVALID_DESTINATION));
        EXPECT_TRUE(wizard.SheetAlive());
        EXPECT_EQ(wizard.PageText(1000), folder);
    }
    // The last Next left a folder known: leaving asks.
    wizard.CloseFromTitleBar();
    ExpectBox(wizard, Message(IDS_EXIT_SETUP), IDYES);
    EXPECT_EQ(ExitCode(wizard), 2u);
}

TEST_F(WizardTest, RunningViewerIsReportedAtOpeningAndAtEveryNext) {
    Register();
    FakeViewer viewer;
    Wizard wizard(SETUP_TESTHOST_EXE, start);
    ExpectBox(wizard, Message(IDS_VIEWER_RUNNING));
    ASSERT_TRUE(wizard.WaitForSheet()) << wizard.GaveUp();
    EXPECT_EQ(wizard.PageText(1000), registered + L"\\");
    for (int i = 0; i < 2; ++i) {
        wizard.PressSheetButton(kNext);
        ExpectBox(wizard, Message(IDS_VIEWER_RUNNING));
    }
    EXPECT_TRUE(wizard.SheetAlive());
    EXPECT_FALSE(InstalledIn(registered));
}

TEST_F(WizardTest, LeavingAsksOnlyWhileAFolderIsKnown) {
    Register();
    {
        Wizard wizard(SETUP_TESTHOST_EXE, start);
        ASSERT_TRUE(wizard.WaitForSheet()) << wizard.GaveUp();
        wizard.PressSheetButton(IDCANCEL);
        std::optional<Box> question = wizard.WaitForBox();
        ASSERT_TRUE(question.has_value()) << wizard.GaveUp();
        EXPECT_EQ(question->text, L"Exit setup?");
        EXPECT_EQ(question->defaultButton, IDNO);
        Wizard::Answer(*question, IDNO);
        ASSERT_TRUE(wizard.WaitUntilHandled(question->window)) << wizard.GaveUp();
        EXPECT_TRUE(wizard.SheetAlive());
        EXPECT_EQ(wizard.PageText(1000), registered + L"\\");
        wizard.CloseFromTitleBar();
        ExpectBox(wizard, L"Exit setup?", IDNO);
        EXPECT_TRUE(wizard.SheetAlive());
        wizard.CloseFromTitleBar();
        ExpectBox(wizard, L"Exit setup?", IDYES);
        EXPECT_EQ(ExitCode(wizard), 2u);
        EXPECT_FALSE(InstalledIn(registered));
    }
    RegistryGuard none;
    ASSERT_TRUE(none.RemoveKey(RegistryGuard::kCommandKey));
    for (bool blankNext : {false, true}) {
        SCOPED_TRACE(blankNext ? "after Next with blanks" : "nothing known");
        Wizard wizard(SETUP_TESTHOST_EXE, start);
        ASSERT_TRUE(wizard.WaitForSheet()) << wizard.GaveUp();
        EXPECT_EQ(wizard.PageText(1000), L"");
        if (blankNext) {
            wizard.SetField(L"    ");
            wizard.PressSheetButton(kNext);
            ExpectBox(wizard, Message(IDS_INVALID_DESTINATION));
        }
        wizard.PressSheetButton(IDCANCEL);
        EXPECT_EQ(ExitCode(wizard), 2u);
    }
}

TEST_F(WizardTest, BrowsePutsTheChosenFolderIntoTheField) {
    const std::wstring data = scratch / L"Data";
    ASSERT_TRUE(CreateDirectoryW(data.c_str(), nullptr));
    Wizard wizard(SETUP_TESTHOST_EXE, start);
    ASSERT_TRUE(wizard.WaitForSheet()) << wizard.GaveUp();

    // Cancel leaves the field exactly as it was. (Under Wine 8 the very first selection of a
    // process is not applied, so the cancelled dialogs come first.)
    for (const std::wstring& typed : {data, std::wstring(L"  typed, not a folder ")}) {
        wizard.SetField(typed);
        wizard.PressBrowse();
        HWND dialog = wizard.WaitForBrowseDialog();
        ASSERT_NE(dialog, nullptr) << wizard.GaveUp();
        bool titled = false;
        for (HWND c = GetWindow(dialog, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT))
            titled = titled || wizard.Text(c) == L"Installation folder:";
        EXPECT_TRUE(titled);
        PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        ASSERT_TRUE(wizard.WaitUntilHandled(dialog)) << wizard.GaveUp();
        EXPECT_EQ(wizard.PageText(1000), typed);
    }
    HWND dialog = nullptr;

    // It opens at the field's folder: OK at once gives that folder back, one backslash.
    for (const std::wstring& field : {data, data + L"\\"}) {
        SCOPED_TRACE(std::string(field.begin(), field.end()));
        wizard.SetField(field);
        wizard.PressBrowse();
        dialog = wizard.WaitForBrowseDialog();
        ASSERT_NE(dialog, nullptr) << wizard.GaveUp();
        // Selected when it opens: the tree is filled down to the folder first.
        EXPECT_TRUE(wizard.WaitForSelection(dialog, L"Data")) << wizard.GaveUp();
        PostMessageW(dialog, WM_COMMAND, IDOK, 0);
        ASSERT_TRUE(wizard.WaitUntilHandled(dialog)) << wizard.GaveUp();
        EXPECT_EQ(wizard.PageText(1000), data + L"\\");
    }
    // A drive root keeps its one backslash.
    wizard.SetField(L"C:\\");
    wizard.PressBrowse();
    dialog = wizard.WaitForBrowseDialog();
    ASSERT_NE(dialog, nullptr) << wizard.GaveUp();
    // Shown with its label: " (C:)" under Wine, "Local Disk (C:)" on Windows.
    EXPECT_TRUE(wizard.WaitForSelection(dialog, L"(C:)", false)) << wizard.GaveUp();
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(wizard.WaitUntilHandled(dialog)) << wizard.GaveUp();
    EXPECT_EQ(wizard.PageText(1000), L"C:\\");
    // Browsing changes the field only: with no folder known, leaving asks nothing.
    wizard.PressSheetButton(IDCANCEL);
    EXPECT_EQ(ExitCode(wizard), 2u);
}

} // namespace
