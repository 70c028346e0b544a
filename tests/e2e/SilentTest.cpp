// The real programs, started and watched as an administrator's deployment tool would.
#include <gtest/gtest.h>

#include <windows.h>

#include "app/MessageIds.h"
#include "e2e/SetupProcess.h"
#include "e2e/WizardDriver.h"
#include "framework/Strings.h"
#include "support/LogEntries.h"
#include "support/ReadOnly.h"
#include "support/RegistryGuard.h"
#include "support/ScratchFolder.h"

namespace {

std::string LogMessage(UINT id) { return ExpectedEntryFor(fw::CString(id).c_str()); }

class Silent : public ::testing::Test {
protected:
    ScratchFolder scratch;
    std::wstring start = scratch / L"start";
    std::wstring log = start + L"\\Zorvalind_Install.log";
    std::wstring registered = scratch / L"Viewer";         // R: the folder the registry names
    std::wstring programFiles = scratch / L"PF";            // D is its Zorvalind folder
    std::wstring given = scratch / L"Given Folder";         // T: from "/folder="
    RegistryGuard registry;

    void SetUp() override {
        ASSERT_TRUE(CreateDirectoryW(start.c_str(), nullptr));
        ASSERT_TRUE(registry.SetString(RegistryGuard::kCurrentVersionKey, L"ProgramFilesDir", programFiles));
        ASSERT_TRUE(registry.RemoveKey(RegistryGuard::kCommandKey));
    }
    void Register() {
        ASSERT_TRUE(registry.SetString(RegistryGuard::kCommandKey, nullptr,
                                       L"\"" + registered + L"\\zorvi64.exe\" \"%1\""));
    }
    SetupRun Run(const std::wstring& arguments, const std::wstring& exe = SETUP_TESTHOST_EXE, bool arm64 = true) {
        SetupOptions o;
        o.executable = exe;
        o.commandLine = L"\"" + exe + L"\" " + arguments;
        o.currentDirectory = start;
        o.arm64 = arm64;
        SetupRun run = RunSetup(o);
        EXPECT_TRUE(run.finished) << "the run did not end in time";
        return run;
    }
    std::string Log() {
        std::string b;
        return ReadBytes(log, b) ? StripTimes(b) : std::string();
    }
    // The whole pack below folder\Plugins, or nothing there at all.
    bool InstalledIn(const std::wstring& folder) {
        std::vector<std::wstring> files = ListFiles(folder + L"\\Plugins");
        if (PAYLOAD_SOURCE_FOLDER[0] != L'\0') return files == ListFiles(PAYLOAD_SOURCE_FOLDER);
        return !files.empty();
    }
    bool NothingInstalled() {
        for (const std::wstring& f : {registered, programFiles + L"\\Zorvalind", given})
            if (Exists(f + L"\\Plugins")) return false;
        return true;
    }
};

TEST_F(Silent, EveryWayToAFolder) {
    enum Source { Given, GivenEmpty, Registry, Nothing };
    struct Case {
        const char* what;
        Source source;
        bool app, viewer;
        DWORD exit;
        std::vector<std::string> entries;  // expected log, in order
        int installedIn;                   // 0 nowhere, 1 T, 2 R, 3 D
    };
    const std::string e11 = LogMessage(IDS_NO_FOLDER_SILENT), e12 = LogMessage(IDS_VIEWER_RUNNING),
                      none = ExpectedEntryFor(L"No install folder!");
    const Case cases[] = {
        {"folder", Given, false, false, 0, {}, 1},
        {"folder, viewer", Given, false, true, 7, {e12}, 0},
        {"empty folder", GivenEmpty, false, false, 3, {none}, 0},
        {"registry", Registry, false, false, 0, {}, 2},
        {"registry, viewer", Registry, false, true, 7, {e12}, 0},
        {"nothing", Nothing, false, false, 3, {e11, none}, 0},
        {"nothing, app", Nothing, true, false, 0, {e11}, 3},
        {"nothing, app, viewer", Nothing, true, true, 7, {e11, e12}, 0},
        {"folder, app", Given, true, false, 0, {}, 3},
        {"registry, app", Registry, true, false, 0, {}, 3},
        {"folder, app, viewer", Given, true, true, 7, {e12}, 0},
        {"registry, app, viewer", Registry, true, true, 7, {e12}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RegistryGuard caseRegistry;
        if (c.source == Registry) {
            ASSERT_TRUE(caseRegistry.SetString(RegistryGuard::kCommandKey, nullptr,
                                               L"\"" + registered + L"\\zorvi64.exe\" \"%1\""));
        }
        std::wstring arguments = L"/silent";
        if (c.source == Given) arguments += L" /folder=\"" + given + L"\" ";
        if (c.source == GivenEmpty) arguments += L" /folder= ";
        if (c.app) arguments += L" /app";
        SetupRun run;
        {
            std::unique_ptr<FakeViewer> viewer(c.viewer ? new FakeViewer : nullptr);
            run = Run(arguments);
        }
        EXPECT_EQ(run.exitCode, c.exit);
        EXPECT_TRUE(run.boxes.empty());
        std::string expected;
        for (const std::string& e : c.entries) expected += e;
        EXPECT_EQ(Log(), expected);
        const std::wstring targets[] = {L"", given, registered, programFiles + L"\\Zorvalind"};
        if (c.installedIn != 0) {
            EXPECT_TRUE(InstalledIn(targets[c.installedIn]));
        } else {
            EXPECT_TRUE(NothingInstalled());
        }
        for (const std::wstring& f : {registered, programFiles, given}) RemoveTree(f);
        DeleteFileW(log.c_str());
    }
}

TEST_F(Silent, SwitchIsFoundAnywhereAndOnlyAsWritten) {
    // The program in a folder named "silent", started by a path written with slashes.
    const std::wstring copyFolder = scratch / L"silent";
    ASSERT_TRUE(CreateDirectoryW(copyFolder.c_str(), nullptr));
    const std::wstring copy = copyFolder + L"\\setup.exe";
    ASSERT_TRUE(CopyFileW(SETUP_TESTHOST_EXE, copy.c_str(), FALSE));
    std::wstring slashed = copy;
    for (wchar_t& ch : slashed)
        if (ch == L'\\') ch = L'/';
    struct Case { const char* what; std::wstring commandLine; bool silent; };
    const std::wstring folder = L" /folder=\"" + given + L"\"";
    const Case cases[] = {
        {"in the program's path", slashed + folder, true},
        {"as /silentx", L"setup.exe /silentx" + folder, true},
        {"in capitals", L"setup.exe /SILENT" + folder, false},
        {"with a dash", L"setup.exe -silent" + folder, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.silent) {
            SetupOptions o;
            o.executable = copy;
            o.commandLine = c.commandLine;
            o.currentDirectory = start;
            SetupRun run = RunSetup(o);
            ASSERT_TRUE(run.finished);
            EXPECT_EQ(run.exitCode, 0u);
            EXPECT_TRUE(InstalledIn(given));
        } else {
            // Not silent: the wizard opens, and "/folder=" has no effect on it.
            Wizard wizard(copy, start, c.commandLine.substr(c.commandLine.find(L' ') + 1));
            ASSERT_TRUE(wizard.WaitForSheet()) << wizard.GaveUp();
            EXPECT_EQ(wizard.PageText(1000), L"");
            wizard.PressSheetButton(IDCANCEL);
            DWORD code = 0;
            ASSERT_TRUE(wizard.WaitForExit(30000, code));
            EXPECT_EQ(code, 2u);
            EXPECT_TRUE(NothingInstalled());
        }
        RemoveTree(given);
    }
}

TEST_F(Silent, UnwritableLogLeavesNoTraceAndTheCodeStands) {
    ASSERT_TRUE(MakeReadOnly(start));
    SetupRun run = Run(L"/silent");
    EXPECT_EQ(run.exitCode, 3u);
    EXPECT_FALSE(Exists(log));
    EXPECT_TRUE(ListFiles(start).empty());
    EXPECT_TRUE(run.boxes.empty());
}

TEST_F(Silent, ShippedProgramRefusesThisHost) {
    Register();
    const std::wstring asked = scratch / L"asked.log";
    for (const std::wstring& arguments : {std::wstring(L"/silent"), std::wstring(L""), L"/silent /log=\"" + asked + L"\""}) {
        SCOPED_TRACE(std::string(arguments.begin(), arguments.end()));
        SetupRun run = Run(arguments, SETUP_EXE, false);
        EXPECT_EQ(run.exitCode, 1u);
        ASSERT_EQ(run.boxes.size(), 1u);
        EXPECT_EQ(run.boxes[0].caption, L"Zorvalind ARM64 PlugIns Installer");
        EXPECT_EQ(run.boxes[0].text, L"Sorry, this installer requires Windows ARM version.\nThe installer will exit.");
        EXPECT_TRUE(run.boxes[0].hasIcon);
        EXPECT_TRUE(NothingInstalled());
        EXPECT_FALSE(Exists(log));
        EXPECT_FALSE(Exists(asked));  // the box said it: no log at all
    }
}

} // namespace
