// The switches beyond the plain silent install, and the one-setup lock, as a deployment
// tool meets them: exit code, log bytes, boxes, and what lands on disk.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>

#include "app/MessageIds.h"
#include "e2e/SetupProcess.h"
#include "framework/Strings.h"
#include "support/LogEntries.h"
#include "support/RegistryGuard.h"
#include "support/ScratchFolder.h"

namespace {

const wchar_t kCaption[] = L"Zorvalind PlugIns ARM 64-bit Setup";


class Switches : public ::testing::Test {
protected:
    ScratchFolder scratch;
    std::wstring start = scratch / L"start";
    std::wstring startLog = start + L"\\Zorvalind_Install.log";
    std::wstring given = scratch / L"Given Folder";
    std::wstring registered = scratch / L"Viewer";
    std::wstring programFiles = scratch / L"PF";
    RegistryGuard registry;

    void SetUp() override {
        ASSERT_TRUE(CreateDirectoryW(start.c_str(), nullptr));
        ASSERT_TRUE(registry.SetString(RegistryGuard::kCurrentVersionKey, L"ProgramFilesDir", programFiles));
        ASSERT_TRUE(registry.RemoveKey(RegistryGuard::kCommandKey));
    }
    SetupRun Run(const std::wstring& arguments, const std::wstring& exe = SETUP_TESTHOST_EXE, bool arm64 = true) {
        SetupOptions o;
        o.executable = exe;
        o.commandLine = Quoted(exe) + L" " + arguments;
        o.currentDirectory = start;
        o.arm64 = arm64;
        o.timeoutMs = 60000;
        SetupRun run = RunSetup(o);
        EXPECT_TRUE(run.finished) << "the run did not end in time";
        return run;
    }
    static std::string Log(const std::wstring& path) {
        std::string b;
        return ReadBytes(path, b) ? StripTimes(b) : std::string("<no log>");
    }
    // A "/log=" file holds the entries of the default log, in order, between the run's first
    // entry and its last, which tells the exit code.
    static void ExpectAskedLog(const std::wstring& path, const std::string& entries, DWORD exit) {
        const std::string log = Log(path);
        EXPECT_EQ(WithoutDetail(log), entries);
        const std::vector<std::string> all = SplitEntries(log);
        ASSERT_GE(all.size(), 2u) << log;
        EXPECT_EQ(EntryText(all.front()).rfind("Zorvalind PlugIns ARM 64-bit Setup ", 0), 0u) << log;
        // Its first line; a second may say whether links were refused.
        const std::string last = EntryText(all.back()), end = last.substr(0, last.find("\r\n"));
        const std::string code = "(exit code " + std::to_string(exit) + ")";
        EXPECT_EQ(end.rfind("Finished: ", 0), 0u) << end;
        EXPECT_TRUE(end.size() > code.size() && end.compare(end.size() - code.size(), code.size(), code) == 0) << end;
    }
    bool Installed(const std::wstring& folder) {
        std::vector<std::wstring> files = ListFiles(folder + L"\\Plugins");
        if (PAYLOAD_SOURCE_FOLDER[0] != L'\0') return files == ListFiles(PAYLOAD_SOURCE_FOLDER);
        return !files.empty();
    }
    // Nothing below any folder a run could have meant, the start folder included, where a
    // relative folder would have gone.
    bool NothingInstalled() {
        for (const std::wstring& f : {given, registered, programFiles + L"\\Zorvalind"})
            if (Exists(f + L"\\Plugins")) return false;
        return ListFolders(start).empty();
    }
};

TEST_F(Switches, SecondSetupRefusesBeforeItTouchesAnything) {
    // Another setup, as far as the program can tell.
    HANDLE other = CreateMutexW(nullptr, TRUE, L"Global\\ZorvalindPlugInsSetup-ARM64");
    ASSERT_NE(other, nullptr);
    ASSERT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    const std::wstring asked = scratch / L"asked.log";
    const std::wstring folder = L" /folder=" + Quoted(given) + L" ";
    struct Case { const char* what; std::wstring arguments; bool silent; std::wstring log; };
    const Case cases[] = {
        {"silent", L"/silent" + folder, true, startLog},
        {"silent with /log=", L"/silent /log=" + Quoted(asked) + folder, true, asked},
        {"interactive", folder, false, L""},
    };
    const std::wstring text = fw::CString(IDS_ANOTHER_SETUP).c_str();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetupRun run = Run(c.arguments);
        EXPECT_EQ(run.exitCode, 1618u);
        if (c.silent) {
            EXPECT_TRUE(run.boxes.empty());
            if (c.log == startLog) {
                EXPECT_EQ(Log(c.log), ExpectedEntryFor(text));
            } else {
                ExpectAskedLog(c.log, ExpectedEntryFor(text), 1618);
            }
            DeleteFileW(c.log.c_str());
        } else {
            ASSERT_EQ(run.boxes.size(), 1u);
            EXPECT_EQ(run.boxes[0].caption, kCaption);
            EXPECT_EQ(run.boxes[0].text, text);
            EXPECT_TRUE(run.boxes[0].hasIcon);
        }
        EXPECT_TRUE(ListFiles(start).empty());
        EXPECT_TRUE(NothingInstalled());
    }
    CloseHandle(other);
}

TEST_F(Switches, SilentFolderMustBeWholeAndAbsolute) {
    enum Registry { None, Relative, Binary, Good };
    struct Case {
        const char* what;
        std::wstring arguments;
        Registry source;
        DWORD exit;
        std::vector<std::string> entries;
    };
    const std::string none = ExpectedEntryFor(L"No install folder!"), e11 = Entry(IDS_NO_FOLDER_SILENT);
    // The limit counts the value as written, quotes and blanks before the end included.
    const std::wstring quoted = Quoted(given);
    const std::wstring value251 = quoted + std::wstring(251 - quoted.size(), L' ');
    const std::wstring cut300 = L"C:\\" + std::wstring(297, L'x');
    const Case cases[] = {
        {"251 characters", L"/silent /folder=" + value251, None, 0, {}},
        {"252 characters", L"/silent /folder=" + value251 + L" ", None, 3, {none}},
        {"300 characters", L"/silent /folder=" + cut300, None, 3, {none}},
        {"drive only", L"/silent /folder=C:", None, 3, {none}},
        {"drive-relative", L"/silent /folder=C:Tools", None, 3, {none}},
        {"no drive", L"/silent /folder=\\Tools", None, 3, {none}},
        {"relative", L"/silent /folder=Tools\\Z", None, 3, {none}},
        {"forward slashes", L"/silent /folder=C:/Tools/Zorvalind", None, 3, {none}},
        {"registry without a drive", L"/silent", Relative, 3, {none}},
        {"registry value not REG_SZ", L"/silent", Binary, 3, {e11, none}},
        {"/app under a relative Program Files", L"/silent /app", Good, 3, {none}},
    };
    // "C:" takes the pack into the root of the drive, "\Tools" below it.
    ASSERT_FALSE(Exists(L"C:\\Tools"));
    ASSERT_FALSE(Exists(L"C:\\Plugins"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RegistryGuard caseRegistry;
        const std::wstring command = L"\"" + registered + L"\\zorvi64.exe\" \"%1\"";
        if (c.source == Relative) {
            ASSERT_TRUE(caseRegistry.SetString(RegistryGuard::kCommandKey, nullptr, L"\"\\Tools\\zorvi64.exe\" \"%1\""));
        } else if (c.source == Binary) {
            ASSERT_TRUE(caseRegistry.SetBytes(RegistryGuard::kCommandKey, nullptr, command.c_str(),
                                              static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)), REG_BINARY));
        } else if (c.source == Good) {
            ASSERT_TRUE(caseRegistry.SetString(RegistryGuard::kCommandKey, nullptr, command));
            ASSERT_TRUE(caseRegistry.SetString(RegistryGuard::kCurrentVersionKey, L"ProgramFilesDir", L"Program Files"));
        }
        SetupRun run = Run(c.arguments);
        EXPECT_EQ(run.exitCode, c.exit);
        EXPECT_TRUE(run.boxes.empty());
        std::string expected;
        for (const std::string& e : c.entries) expected += e;
        EXPECT_EQ(Log(startLog), c.entries.empty() ? "<no log>" : expected);
        if (c.exit == 0) {
            EXPECT_TRUE(Installed(given));
        } else {
            EXPECT_TRUE(NothingInstalled());
            EXPECT_FALSE(Exists(L"C:\\Tools"));
            EXPECT_FALSE(Exists(L"C:\\Plugins"));
            EXPECT_FALSE(Exists(cut300.substr(0, 252)));
        }
        // Checked absent before: whatever a wrong run made there is its own.
        for (const std::wstring& made : {given, std::wstring(L"C:\\Tools"), std::wstring(L"C:\\Plugins"),
                                         cut300.substr(0, 252)})
            RemoveTree(made);
        DeleteFileW(startLog.c_str());
    }
}

// A long "/log=" before "/folder=": the folder runs into the cut of the command line's
// kept copy, and what is left of it is an absolute folder nobody named.
TEST_F(Switches, FolderCutWithTheCommandLineIsRefused) {
    const std::wstring folder = L"C:\\" + std::wstring(240, L'c') + L"\\end";
    const std::wstring log = scratch / (std::wstring(200, L'l') + L".log");
    const std::wstring arguments = L"/silent /log=" + Quoted(log) + L" /folder=" + folder;
    const std::wstring kept = (Quoted(SETUP_TESTHOST_EXE) + L" " + arguments).substr(0, 519);
    const std::wstring cutFolder = kept.substr(kept.find(L"/folder=") + 8);
    ASSERT_GT(cutFolder.size(), 3u);
    ASSERT_LT(cutFolder.size(), 252u);
    ASSERT_FALSE(Exists(cutFolder));
    SetupRun run = Run(arguments);
    EXPECT_EQ(run.exitCode, 3u);
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_FALSE(Exists(cutFolder));
    EXPECT_FALSE(Exists(folder));
    RemoveTree(cutFolder);  // absent before: only a wrong run's own
    ExpectAskedLog(log, ExpectedEntryFor(L"No install folder!"), 3);
    EXPECT_NE(Log(log).find("\r\nFolder: none (/folder= too long, or cut with the command line)\r\n"), std::string::npos);
}

TEST_F(Switches, LogGoesWhereItIsAskedOrNowhere) {
    const std::wstring logs = scratch / L"my logs";
    ASSERT_TRUE(CreateDirectoryW(logs.c_str(), nullptr));
    const std::wstring asked = logs + L"\\run.log";
    const std::wstring file = scratch / L"a file";  // as a folder it cannot take the pack
    ASSERT_TRUE(WriteBytes(file, "x"));
    const std::string none = ExpectedEntryFor(L"No install folder!"), e11 = Entry(IDS_NO_FOLDER_SILENT);
    struct Case {
        const char* what;
        std::wstring arguments;
        bool viewer;
        DWORD exit;
        std::wstring log;  // empty: the entries are lost
        std::vector<std::string> entries;
        int installedIn = 0;  // 0 nowhere, 1 the given folder, 2 the default one ("/app")
    };
    const std::wstring toGiven = L" /folder=" + Quoted(given);
    const Case cases[] = {
        {"success", L"/silent /log=" + Quoted(asked) + toGiven, false, 0, asked, {Entry(IDS_INSTALLED)}, 1},
        {"viewer running", L"/silent /log=" + Quoted(asked) + toGiven, true, 7, asked, {Entry(IDS_VIEWER_RUNNING)}},
        {"empty folder", L"/silent /log=" + Quoted(asked) + L" /folder=", false, 3, asked, {none}},
        {"no folder at all", L"/silent /log=" + Quoted(asked), false, 3, asked, {e11, none}},
        {"extraction failed", L"/silent /folder=" + Quoted(file) + L" /log=" + Quoted(asked), false, 4, asked,
         {Entry(IDS_CANT_INSTALL)}},
        {"relative, from the start folder", L"/silent /log=..\\my logs\\run.log", false, 3, asked, {e11, none}},
        {"relative, success", L"/silent /log=..\\my logs\\run.log" + toGiven, false, 0, asked,
         {Entry(IDS_INSTALLED)}, 1},
        {"quoted, blanks, another switch after it", L"/log=" + Quoted(asked) + L"   /silent", false, 3, asked,
         {e11, none}},
        {"too long", L"/silent /log=" + scratch.Path() + L"\\" + std::wstring(260, L'l'), false, 3, L"", {}},
        {"empty", L"/silent /log= /app", false, 0, L"", {}, 2},
        {"a folder", L"/silent /log=" + Quoted(logs), false, 3, L"", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetupRun run;
        {
            std::unique_ptr<FakeViewer> viewer(c.viewer ? new FakeViewer : nullptr);
            run = Run(c.arguments);
        }
        EXPECT_EQ(run.exitCode, c.exit);
        EXPECT_TRUE(run.boxes.empty());
        std::string expected;
        for (const std::string& e : c.entries) expected += e;
        if (!c.log.empty()) ExpectAskedLog(c.log, expected, c.exit);
        // Nothing in the start folder, nothing anywhere else but the asked-for log.
        std::vector<std::wstring> left, expectedLeft = {L"a file"};
        if (!c.log.empty()) expectedLeft.push_back(L"my logs\\run.log");
        for (const std::wstring& f : ListFiles(scratch.Path()))
            if (f.rfind(L"Given Folder\\", 0) != 0 && f.rfind(L"PF\\", 0) != 0) left.push_back(f);
        EXPECT_EQ(left, expectedLeft);
        EXPECT_EQ(Installed(given), c.installedIn == 1);
        EXPECT_EQ(Installed(programFiles + L"\\Zorvalind"), c.installedIn == 2);
        DeleteFileW(asked.c_str());
        RemoveTree(given);
        RemoveTree(programFiles);
    }
}

TEST_F(Switches, HelpListsSwitchesAndCodesAndInstallsNothing) {
    const std::wstring usage = fw::CString(IDS_USAGE).c_str();
    struct Case { const char* what; std::wstring arguments; const wchar_t* exe; bool arm64; DWORD exit; };
    const std::wstring folder = L" /folder=" + Quoted(given);
    const Case cases[] = {
        {"interactive", L"/?" + folder, SETUP_TESTHOST_EXE, true, 0},
        {"with /silent", L"/silent /?" + folder, SETUP_TESTHOST_EXE, true, 0},
        {"another host refuses first", L"/silent /?" + folder, SETUP_EXE, false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetupRun run = Run(c.arguments, c.exe, c.arm64);
        EXPECT_EQ(run.exitCode, c.exit);
        ASSERT_EQ(run.boxes.size(), 1u);
        EXPECT_TRUE(run.boxes[0].hasIcon);
        if (c.exit == 0) {
            EXPECT_EQ(run.boxes[0].caption, kCaption);
            EXPECT_EQ(run.boxes[0].text, usage);
        } else {
            EXPECT_EQ(run.boxes[0].caption, L"Zorvalind ARM64 PlugIns Installer");
        }
        EXPECT_TRUE(ListFiles(start).empty());
        EXPECT_TRUE(NothingInstalled());
    }
}

} // namespace
