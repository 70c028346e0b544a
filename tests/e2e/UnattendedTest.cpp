// The real programs as deployment tools run them: where no user sees a window (a window
// station of its own, as in session 0), and with the "/log=" file an administrator reads
// when one machine among thousands failed.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>

#include "app/MessageIds.h"
#include "app/TheApp.h"
#include "app/Version.h"
#include "e2e/SetupProcess.h"
#include "framework/Strings.h"
#include "support/LogEntries.h"
#include "support/ReadOnly.h"
#include "support/RegistryGuard.h"
#include "support/ScratchFolder.h"
#include "support/TestArchive.h"

namespace {

const wchar_t kRefusal[] = L"Sorry, this installer requires Windows ARM version.\nThe installer will exit.";

class Unattended : public ::testing::Test {
protected:
    ScratchFolder scratch;
    std::wstring start = scratch / L"start";
    std::wstring startLog = start + L"\\Zorvalind_Install.log";
    std::wstring asked = scratch / L"logs\\run.log";
    std::wstring given = scratch / L"Given Folder";
    std::wstring registered = scratch / L"Viewer";
    std::wstring programFiles = scratch / L"PF";
    RegistryGuard registry;

    void SetUp() override {
        ASSERT_TRUE(CreateDirectoryW(start.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW((scratch / L"logs").c_str(), nullptr));
        ASSERT_TRUE(registry.SetString(RegistryGuard::kCurrentVersionKey, L"ProgramFilesDir", programFiles));
        ASSERT_TRUE(registry.RemoveKey(RegistryGuard::kCommandKey));
    }
    SetupOptions Options(const std::wstring& arguments, const std::wstring& exe = SETUP_TESTHOST_EXE) {
        SetupOptions o;
        o.executable = exe;
        o.commandLine = Quoted(exe) + L" " + arguments;
        o.currentDirectory = start;
        o.timeoutMs = 60000;
        return o;
    }
    static std::string Log(const std::wstring& path) {
        std::string b;
        return ReadBytes(path, b) ? StripTimes(b) : std::string("<no log>");
    }
    bool Installed(const std::wstring& folder) {
        std::vector<std::wstring> files = ListFiles(folder + L"\\Plugins");
        if (PAYLOAD_SOURCE_FOLDER[0] != L'\0') return files == ListFiles(PAYLOAD_SOURCE_FOLDER);
        return !files.empty();
    }
    bool NothingInstalled() {
        for (const std::wstring& f : {given, registered, programFiles + L"\\Zorvalind"})
            if (Exists(f + L"\\Plugins")) return false;
        return ListFolders(start).empty();
    }
    // The account line the setup writes for the account these tests run as.
    static std::string AccountSuffix() {
        wchar_t user[256];
        DWORD chars = 256;
        if (!GetUserNameW(user, &chars)) return "?";
        std::string bytes;
        for (const wchar_t* p = user; *p; ++p) bytes += static_cast<char>(*p);
        return bytes;
    }
};

// Every case that shows a box on a seen desktop ends here within seconds, with its exit
// code and the box's text as a log entry; nothing else is written or installed.
TEST_F(Unattended, NoBoxWhereNobodySeesItEveryCaseEndsWithItsCode) {
    HANDLE other = nullptr;
    struct Case {
        const char* what;
        std::wstring arguments;
        const wchar_t* exe;
        bool arm64, anotherSetup;
        DWORD exit;
        std::string entry;  // in the start folder's default log; empty: no log at all
    };
    const std::wstring folder = L" /folder=" + Quoted(given);
    const std::string usage = Entry(IDS_USAGE), refusal = ExpectedEntryFor(kRefusal),
                      wizard = ExpectedEntryFor(kUnseenWizard), another = Entry(IDS_ANOTHER_SETUP);
    const Case cases[] = {
        {"another host", folder, SETUP_EXE, false, false, 1, refusal},
        {"another host, /silent", L"/silent" + folder, SETUP_EXE, false, false, 1, refusal},
        {"/?", L"/?" + folder, SETUP_TESTHOST_EXE, true, false, 0, usage},
        {"/silent /?", L"/silent /?" + folder, SETUP_TESTHOST_EXE, true, false, 0, usage},
        {"the wizard", folder, SETUP_TESTHOST_EXE, true, false, 2, wizard},
        {"the wizard while another setup runs", folder, SETUP_TESTHOST_EXE, true, true, 2, wizard},
        {"another setup, /silent", L"/silent" + folder, SETUP_TESTHOST_EXE, true, true, 1618, another},
        {"silent install", L"/silent" + folder, SETUP_TESTHOST_EXE, true, false, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.anotherSetup) {
            other = CreateMutexW(nullptr, TRUE, L"Global\\ZorvalindPlugInsSetup-ARM64");
            ASSERT_NE(other, nullptr);
        }
        SetupOptions o = Options(c.arguments, c.exe);
        o.arm64 = c.arm64;
        const UnseenRun run = RunSetupUnseen(o);
        if (other != nullptr) CloseHandle(other);
        other = nullptr;
        ASSERT_TRUE(run.started);
        EXPECT_TRUE(run.finished) << "still waiting after " << run.elapsedMs << " ms";
        EXPECT_LT(run.elapsedMs, 20000u);
        EXPECT_EQ(run.exitCode, c.exit);
        EXPECT_EQ(Log(startLog), c.entry.empty() ? "<no log>" : c.entry);
        if (c.exit == 0 && c.entry.empty()) {
            EXPECT_TRUE(Installed(given));
        } else {
            EXPECT_TRUE(NothingInstalled());
        }
        RemoveTree(given);
        DeleteFileW(startLog.c_str());
        EXPECT_TRUE(ListFiles(start).empty());
    }
}

// "/log=" takes what a box would have said there too, between the run's first and last entries.
TEST_F(Unattended, UnseenRefusalGoesToTheAskedLog) {
    SetupOptions o = Options(L"/log=" + Quoted(asked) + L" /folder=" + Quoted(given));
    const UnseenRun run = RunSetupUnseen(o);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 2u);
    const std::vector<std::string> entries = SplitEntries(Log(asked));
    ASSERT_EQ(entries.size(), 3u) << Log(asked);
    EXPECT_EQ(EntryText(entries[0]).rfind("Zorvalind PlugIns ARM 64-bit Setup ", 0), 0u);
    EXPECT_NE(EntryText(entries[0]).find("\r\nFolder: not looked up without /silent"), std::string::npos);
    EXPECT_EQ(entries[1], ExpectedEntryFor(kUnseenWizard));
    EXPECT_EQ(entries[2], ExpectedEntryFor(L"Finished: nothing installed: no wizard, or it was left (exit code 2)"));
    EXPECT_FALSE(Exists(startLog));
    EXPECT_TRUE(NothingInstalled());
}

// The platform gate comes first: on another host the asked log gets the refusal and nothing
// else, neither the run's first and last entries nor anything of a folder.
TEST_F(Unattended, RefusedHostLogsTheRefusalAlone) {
    ASSERT_TRUE(registry.SetString(RegistryGuard::kCommandKey, nullptr, Quoted(registered + L"\\zorvi64.exe") + L" \"%1\""));
    for (const std::wstring& arguments : {L"/silent /log=" + Quoted(asked), L"/log=" + Quoted(asked),
                                          L"/silent /app /log=" + Quoted(asked) + L" /folder=" + Quoted(given)}) {
        SCOPED_TRACE(std::string(arguments.begin(), arguments.end()));
        const UnseenRun run = RunSetupUnseen(Options(arguments, SETUP_EXE));
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 1u);
        EXPECT_EQ(Log(asked), ExpectedEntryFor(kRefusal));
        EXPECT_FALSE(Exists(startLog));
        EXPECT_TRUE(NothingInstalled());
        DeleteFileW(asked.c_str());
    }
}

// The first entry of a "/log=" run: version, command line, account, folder and its source.
TEST_F(Unattended, AskedLogTellsWhatRanAsWhomIntoWhichFolder) {
    enum Source { Switch, Registry, App, Nothing };
    struct Case { const char* what; Source source; DWORD exit; std::wstring folderLine; std::vector<std::string> middle; };
    const std::string none = ExpectedEntryFor(L"No install folder!");
    const Case cases[] = {
        {"/folder=", Switch, 0, given + L" (from /folder=)", {Entry(IDS_INSTALLED)}},
        {"the registry", Registry, 0, registered + L"\\ (from the registry)", {Entry(IDS_INSTALLED)}},
        // The registry is asked first, and says so, before "/app" takes over.
        {"/app", App, 0, programFiles + L"\\Zorvalind (from /app)", {Entry(IDS_NO_FOLDER_SILENT), Entry(IDS_INSTALLED)}},
        {"nothing", Nothing, 3, L"none (no /folder=, and none in the registry)", {Entry(IDS_NO_FOLDER_SILENT), none}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RegistryGuard caseRegistry;
        if (c.source == Registry) {
            ASSERT_TRUE(caseRegistry.SetString(RegistryGuard::kCommandKey, nullptr,
                                               Quoted(registered + L"\\zorvi64.exe") + L" \"%1\""));
        }
        std::wstring arguments = L"/silent /log=" + Quoted(asked);
        if (c.source == Switch) arguments += L" /folder=" + Quoted(given);
        if (c.source == App) arguments += L" /app";
        SetupOptions o = Options(arguments);
        SetupRun run = RunSetup(o);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, c.exit);
        EXPECT_TRUE(run.boxes.empty());
        const std::vector<std::string> entries = SplitEntries(Log(asked));
        ASSERT_EQ(entries.size(), c.middle.size() + 2) << Log(asked);
        // The first entry, line by line; the account as this test's own, elevated as Wine runs it.
        std::string first = EntryText(entries[0]);
        std::string expectedStart = "Zorvalind PlugIns ARM 64-bit Setup " PRODUCT_VERSION_TEXT " started\r\nCommand line: ";
        for (wchar_t ch : o.commandLine) expectedStart += static_cast<char>(ch);
        expectedStart += "\r\nAccount: ";
        ASSERT_EQ(first.compare(0, expectedStart.size(), expectedStart), 0) << first;
        const std::string rest = first.substr(expectedStart.size());
        std::string folderLine = "\r\nFolder: ";
        for (wchar_t ch : c.folderLine) folderLine += static_cast<char>(ch);
        const std::string account = AccountSuffix() + " (elevated)" + folderLine;
        ASSERT_GE(rest.size(), account.size()) << rest;
        EXPECT_EQ(rest.substr(rest.size() - account.size()), account);
        EXPECT_TRUE(rest.size() == account.size() || rest[rest.size() - account.size() - 1] == '\\') << rest;
        for (size_t i = 0; i < c.middle.size(); ++i) EXPECT_EQ(entries[1 + i], c.middle[i]);
        const std::string end = EntryText(entries.back());
        // Under Wine the mitigation is accepted and enables nothing.
        EXPECT_EQ(end, c.exit == 0 ? "Finished: success (exit code 0)\r\nLink protection of the process: not available on this system"
                                   : "Finished: no install folder (exit code 3)");
        // The default log knows nothing of it.
        EXPECT_FALSE(Exists(startLog));
        DeleteFileW(asked.c_str());
        for (const std::wstring& f : {given, registered, programFiles}) RemoveTree(f);
    }
}

// A failed install names its step, what it was working on and the system's reason; the
// default log of the same run stays as it always was.
TEST_F(Unattended, FailedStagingIsToldWithItsPathAndReason) {
    const std::wstring temp = scratch / L"temp", blocked = temp + L"\\ZL64_plugins.zip";
    ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(blocked.c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(blocked + L"\\x", "a user's file"));  // as a user of C:\Windows\Temp may
    TemporaryFolderOverride temporary(temp);
    for (bool withLog : {true, false}) {
        SCOPED_TRACE(withLog ? "/log=" : "default log");
        SetupRun run = RunSetup(Options(L"/silent /folder=" + Quoted(given) + (withLog ? L" /log=" + Quoted(asked) : L"")));
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 4u);
        if (!withLog) {
            EXPECT_EQ(Log(startLog), Entry(IDS_CANT_INSTALL));
            continue;
        }
        const std::vector<std::string> entries = SplitEntries(Log(asked));
        ASSERT_EQ(entries.size(), 4u) << Log(asked);
        std::string failure = "Failed while staging the archive in the temporary folder\r\nFile: ";
        for (wchar_t ch : blocked) failure += static_cast<char>(ch);
        failure += "\r\nSystem error 145: Directory is not empty.\r\nLink protection of the process: ";
        const std::string text = EntryText(entries[1]);
        EXPECT_EQ(text.substr(0, failure.size()), failure);
        EXPECT_EQ(entries[2], Entry(IDS_CANT_INSTALL));
        EXPECT_EQ(EntryText(entries[3]), "Finished: installation failed (exit code 4)");
        EXPECT_FALSE(Exists(startLog));
    }
    EXPECT_TRUE(Exists(blocked + L"\\x"));
    EXPECT_TRUE(NothingInstalled());
}

// What stands in the way of the pack's last file: the log names the file below Plugins, the
// step, and the system's code or the install's reason; the old files all stay.
TEST_F(Unattended, FailedInstallNamesTheFileTheStepAndTheReason) {
    std::wstring last;
    for (const auto& [name, dos] : ArchivedEntries(PAYLOAD_ARCHIVE))
        if (!name.empty() && name.back() != L'\\') last = name;
    ASSERT_FALSE(last.empty());
    const std::wstring plugins = given + L"\\Plugins", old = plugins + L"\\" + last;
    enum Block { HeldOpen, ReadOnly, Folder };
    struct Case { const char* what; Block block; std::string detail; };
    std::string file;
    for (wchar_t ch : last) file += static_cast<char>(ch);
    const std::string head = "Failed while putting in place\r\nFile: Plugins\\" + file + "\r\n";
    // As Wine words the system's texts; read-only is immutable there, which denies the open.
    const Case cases[] = {
        {"held open", HeldOpen, head + "System error 32: Sharing violation.\r\n"},
        {"read-only", ReadOnly, head + "System error 5: Access denied.\r\n"},
        {"a folder in its place", Folder, head + "Reason: a folder stands where a file goes, or a file where a folder "
                                                 "goes\r\nSystem error 267: Directory name invalid.\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RemoveTree(given);
        // The old file's folders as the pack has them.
        for (size_t at = 0; (at = old.find(L'\\', at + 1)) != std::wstring::npos;)
            CreateDirectoryW(old.substr(0, at).c_str(), nullptr);
        HANDLE held = INVALID_HANDLE_VALUE;
        if (c.block == Folder) {
            ASSERT_TRUE(CreateDirectoryW(old.c_str(), nullptr));
            ASSERT_TRUE(WriteBytes(old + L"\\mine", "a user's file"));
        } else {
            ASSERT_TRUE(WriteBytes(old, "an older version"));
            if (c.block == ReadOnly) {
                ASSERT_TRUE(MakeReadOnly(old));
            } else {
                held = CreateFileW(old.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
                ASSERT_NE(held, INVALID_HANDLE_VALUE);
            }
        }
        const std::vector<std::wstring> before = ListFiles(given);
        SetupRun run = RunSetup(Options(L"/silent /folder=" + Quoted(given) + L" /log=" + Quoted(asked)));
        if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
        UndoReadOnly(given);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 4u);
        EXPECT_EQ(ListFiles(given), before);
        const std::vector<std::string> entries = SplitEntries(Log(asked));
        ASSERT_EQ(entries.size(), 4u) << Log(asked);
        const std::string detail = EntryText(entries[1]);
        EXPECT_EQ(detail.substr(0, c.detail.size()), c.detail);
        EXPECT_EQ(detail.find("\r\nLink protection of the process: "), c.detail.size() - 2) << detail;
        EXPECT_EQ(entries[2], Entry(IDS_CANT_INSTALL));
        EXPECT_EQ(EntryText(entries.back()), "Finished: installation failed (exit code 4)");
        DeleteFileW(asked.c_str());
    }
}

} // namespace
