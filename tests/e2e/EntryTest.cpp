// The pack as Apps & Features, winget, Intune and Configuration Manager see it: the entry an
// install leaves and the copy of the setup its uninstall strings run, kept in step with the
// files through failures and kills, and the copy's folder never one somebody else planted.
#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>

#include <algorithm>
#include <map>

#include "e2e/SetupProcess.h"
#include "framework/Handles.h"
#include "support/ManagedState.h"
#include "support/ScratchFolder.h"
#include "support/Unix.h"

namespace {

using Values = std::map<std::wstring, std::wstring>;  // name: text, or a DWORD in decimal

const wchar_t kUninstall[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

// Every value of an entry key; empty where no key stands.
Values ReadEntry(HKEY root, const std::wstring& key) {
    Values values;
    HKEY k;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &k) != ERROR_SUCCESS) return values;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        BYTE data[8192] = {};
        DWORD chars = 256, bytes = sizeof data - 2, type = 0;
        if (RegEnumValueW(k, i, name, &chars, nullptr, &type, data, &bytes) != ERROR_SUCCESS) break;
        values[name] = type == REG_DWORD ? std::to_wstring(*reinterpret_cast<DWORD*>(data))
                                         : std::wstring(reinterpret_cast<wchar_t*>(data));
    }
    RegCloseKey(k);
    return values;
}

std::wstring VersionString(const wchar_t* exe, const wchar_t* name) {
    DWORD ignored = 0;
    std::vector<BYTE> info(GetFileVersionInfoSizeW(exe, &ignored));
    wchar_t* text = nullptr;
    UINT chars = 0;
    const std::wstring path = std::wstring(L"\\StringFileInfo\\000904B0\\") + name;
    if (info.empty() || !GetFileVersionInfoW(exe, 0, static_cast<DWORD>(info.size()), info.data()) ||
        !VerQueryValueW(info.data(), path.c_str(), reinterpret_cast<void**>(&text), &chars))
        return L"";
    return text;
}

std::wstring FinalPath(const std::wstring& path) {
    fw::unique_hfile h(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    wchar_t final[1024] = {};
    const DWORD n = GetFinalPathNameByHandleW(h.get(), final, 1024, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    return n > 4 && n < 1024 ? std::wstring(final + 4) : path;
}

// The program an uninstall string runs: the quoted path it begins with.
std::wstring CopyOf(const std::wstring& command) {
    return command.size() > 1 && command[0] == L'"' ? command.substr(1, command.find(L'"', 1) - 1) : L"";
}

std::wstring Parent(const std::wstring& path) { return path.substr(0, path.rfind(L'\\')); }

std::vector<std::wstring> PendingRenames() {
    std::vector<std::wstring> items;
    HKEY k;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) return items;
    std::vector<wchar_t> data(65536);
    DWORD bytes = static_cast<DWORD>(data.size() * sizeof(wchar_t)) - 4, type = 0;
    if (RegQueryValueExW(k, L"PendingFileRenameOperations", nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &bytes) ==
        ERROR_SUCCESS)
        // Pairs of a name and its new name (empty: deleted), and one more NUL at the end.
        for (const wchar_t* p = data.data(); p + 1 < data.data() + bytes / sizeof(wchar_t); p += wcslen(p) + 1)
            items.push_back(p);
    RegCloseKey(k);
    return items;
}

bool OwnedByAdministrators(const std::wstring& folder) {
    fw::unique_hfile h(CreateFileW(folder.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR described = nullptr;
    if (GetSecurityInfo(h.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &described) != ERROR_SUCCESS)
        return false;
    const bool administrators = IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || IsWellKnownSid(owner, WinLocalSystemSid);
    LocalFree(described);
    return administrators;
}

// Started with the linked token of this (elevated) process: as a user without elevation.
bool RunUnelevated(const std::wstring& commandLine, const std::wstring& directory, DWORD& exitCode) {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
    fw::unique_hfile own(raw);
    TOKEN_LINKED_TOKEN linked{};
    DWORD bytes = 0;
    if (!GetTokenInformation(own.get(), TokenLinkedToken, &linked, sizeof linked, &bytes)) return false;
    fw::unique_hfile limited(linked.LinkedToken);
    if (!DuplicateTokenEx(limited.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, &raw)) return false;
    fw::unique_hfile primary(raw);
    SetEnvironmentVariableW(L"ZORVALIND_SETUP_TEST_NATIVE_MACHINE", L"AA64");
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::wstring line = commandLine;
    const BOOL started = CreateProcessAsUserW(primary.get(), nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                              directory.c_str(), &si, &pi);
    SetEnvironmentVariableW(L"ZORVALIND_SETUP_TEST_NATIVE_MACHINE", nullptr);
    if (!started) return false;
    CloseHandle(pi.hThread);
    fw::unique_hfile process(pi.hProcess);
    if (WaitForSingleObject(process.get(), 120000) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 255);
        return false;
    }
    return GetExitCodeProcess(process.get(), &exitCode) != FALSE;
}

class Entry : public ::testing::Test {
protected:
    ScratchFolder scratch;
    std::wstring start = scratch / L"start";
    std::wstring viewer = scratch / L"Viewer Folder";
    std::wstring plugins = viewer + L"\\Plugins";
    std::wstring programData = CopyRootFor(true);
    std::vector<std::wstring> pack = ListFiles(PAYLOAD_SOURCE_FOLDER);

    void SetUp() override {
        if (PAYLOAD_SOURCE_FOLDER[0] == L'\0') GTEST_SKIP() << "the pack was embedded from a prebuilt archive";
        ASSERT_TRUE(CreateDirectoryW(start.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(viewer.c_str(), nullptr));
    }
    SetupRun Run(const std::wstring& commandLine, const std::wstring& executable = SETUP_TESTHOST_EXE) {
        SetupOptions o;
        o.executable = executable;
        o.commandLine = commandLine;
        o.currentDirectory = start;
        SetupRun run = RunSetup(o);
        EXPECT_TRUE(run.finished) << "the run did not end in time";
        return run;
    }
    std::wstring InstallLine(const std::wstring& folder) const {
        return Quoted(SETUP_TESTHOST_EXE) + L" /silent /folder=" + Quoted(folder);
    }
    DWORD Install(const std::wstring& folder) { return Run(InstallLine(folder)).exitCode; }
    std::wstring PluginsLocation() { return FinalPath(plugins); }
    Values Entry0() { return ReadEntry(HKEY_LOCAL_MACHINE, std::wstring(kUninstall) + L"Zorvalind.PlugIns.ARM64"); }
    // Every pack file holds the bytes the pack gives it (new), or "an older version" (old).
    bool PackIs(bool newSet) {
        for (const std::wstring& f : pack) {
            std::string want, got;
            if (newSet) ReadBytes(std::wstring(PAYLOAD_SOURCE_FOLDER) + L"\\" + f, want);
            else want = "an older version";
            if (!ReadBytes(plugins + L"\\" + f, got) || got != want) return false;
        }
        return true;
    }
    void MakeOldSet() {
        CreateDirectoryW(plugins.c_str(), nullptr);
        for (const std::wstring& f : ListFolders(PAYLOAD_SOURCE_FOLDER)) CreateDirectoryW((plugins + L"\\" + f).c_str(), nullptr);
        for (const std::wstring& f : pack) ASSERT_TRUE(WriteBytes(plugins + L"\\" + f, "an older version")) << f;
    }
};

TEST_F(Entry, InstallRegistersTheEntryAndACopyOfTheSetup) {
    ASSERT_EQ(Install(viewer), 0u);
    Values entry = Entry0();
    const std::wstring copy = CopyOf(entry[L"UninstallString"]);
    ASSERT_FALSE(copy.empty()) << "no entry, or no uninstall string";
    SYSTEMTIME today{};
    GetLocalTime(&today);
    wchar_t date[16];
    swprintf(date, 16, L"%04u%02u%02u", today.wYear, today.wMonth, today.wDay);
    const std::wstring version = VersionString(SETUP_TESTHOST_EXE, L"ProductVersion");
    const std::wstring folderSwitch = L"/folder=" + Quoted(FinalPath(viewer));
    const Values expected = {
        {L"DisplayName", VersionString(SETUP_TESTHOST_EXE, L"ProductName")},
        {L"DisplayVersion", version.substr(0, version.find(L'.', version.find(L'.') + 1))},
        {L"VersionMajor", version.substr(0, version.find(L'.'))},
        {L"VersionMinor", version.substr(version.find(L'.') + 1, version.find(L'.', version.find(L'.') + 1) - version.find(L'.') - 1)},
        {L"Publisher", VersionString(SETUP_TESTHOST_EXE, L"CompanyName")},
        {L"InstallLocation", PluginsLocation()},
        {L"DisplayIcon", copy + L",0"},
        {L"InstallDate", date},
        {L"NoModify", L"1"},
        {L"NoRepair", L"1"},
        {L"UninstallString", Quoted(copy) + L" /uninstall " + folderSwitch},
        {L"QuietUninstallString", Quoted(copy) + L" /silent /uninstall " + folderSwitch},
        {L"EstimatedSize", entry[L"EstimatedSize"]},
    };
    EXPECT_EQ(entry, expected);
    EXPECT_EQ(expected.at(L"Publisher"), L"Zorvalind");
    EXPECT_EQ(expected.at(L"DisplayVersion"), L"4.76");
    // The pack's files and the copy, in KiB.
    uint64_t bytes = 0;
    for (const std::wstring& f : pack) {
        std::string b;
        ReadBytes(plugins + L"\\" + f, b);
        bytes += b.size();
    }
    std::string self, copied;
    ASSERT_TRUE(ReadBytes(SETUP_TESTHOST_EXE, self));
    ASSERT_TRUE(ReadBytes(copy, copied));
    EXPECT_TRUE(self == copied) << "the copy is not the setup that ran";
    EXPECT_NEAR(std::stod(entry[L"EstimatedSize"]), static_cast<double>(bytes + self.size()) / 1024, 70.0);
    EXPECT_EQ(Parent(Parent(copy)), programData);
    EXPECT_EQ(CopyFolders(programData).size(), 1u);

    // A newer install (here: the same again) replaces the copy: a fresh folder, the old one gone.
    ASSERT_EQ(Install(viewer), 0u);
    const std::wstring newer = CopyOf(Entry0()[L"UninstallString"]);
    EXPECT_NE(Parent(newer), Parent(copy));
    EXPECT_FALSE(Exists(Parent(copy)));
    EXPECT_EQ(CopyFolders(programData), std::vector<std::wstring>{Parent(newer).substr(programData.size() + 1)});
}

TEST_F(Entry, QuietUninstallStringAsWrittenRemovesPackEntryAndCopy) {
    ASSERT_EQ(Install(viewer), 0u);
    ASSERT_TRUE(WriteBytes(plugins + L"\\mine.8bf", "the user's own"));
    const std::wstring quiet = Entry0()[L"QuietUninstallString"], copy = CopyOf(quiet);
    ASSERT_FALSE(copy.empty());
    SetupRun run = Run(quiet, L"");
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(ListFiles(plugins), std::vector<std::wstring>{L"mine.8bf"});
    EXPECT_TRUE(Entry0().empty()) << "the entry stayed";
    EXPECT_FALSE(RegistryKeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zorvalind.PlugIns.ARM64.Pending"));
    // The removal ran from the copy, which cannot delete itself: it goes at the next restart,
    // its folder after it.
    if (Exists(copy)) {
        const std::vector<std::wstring> pending = PendingRenames();
        const std::vector<std::wstring> expected = {L"\\??\\" + copy, L"", L"\\??\\" + Parent(copy), L""};
        ASSERT_GE(pending.size(), expected.size());
        EXPECT_EQ(std::vector<std::wstring>(pending.end() - 4, pending.end()), expected);
    }
    // Again: nothing left to remove is a success, and nothing else is touched.
    EXPECT_EQ(Run(InstallLine(viewer) + L" /uninstall").exitCode, 0u);
}

TEST_F(Entry, FailedInstallChangesNeitherTheFilesNorTheEntry) {
    ASSERT_TRUE(CreateDirectoryW(plugins.c_str(), nullptr));
    for (bool previous : {false, true}) {
        SCOPED_TRACE(previous ? "over an earlier entry" : "without an entry");
        Values before;
        if (previous) {
            ASSERT_EQ(Install(viewer), 0u);
            HKEY k;
            ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kUninstall) + L"Zorvalind.PlugIns.ARM64").c_str(), 0,
                                    KEY_SET_VALUE | KEY_WOW64_64KEY, &k),
                      ERROR_SUCCESS);
            RegSetValueExW(k, L"DisplayVersion", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"4.70"), 10);
            RegCloseKey(k);
            before = Entry0();
        }
        const std::vector<std::wstring> copies = CopyFolders(programData);
        MakeOldSet();
        // The pack's last file is held open without sharing: it cannot be replaced.
        HANDLE held = CreateFileW((plugins + L"\\" + pack.back()).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        const DWORD code = Install(viewer);
        CloseHandle(held);
        EXPECT_EQ(code, 4u);
        EXPECT_TRUE(PackIs(false));
        EXPECT_EQ(Entry0(), before);
        EXPECT_EQ(CopyFolders(programData), copies);
        EXPECT_FALSE(RegistryKeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zorvalind.PlugIns.ARM64.Pending"));
    }
}

// A kill at each kind of step of the entry's, then a run that fails after its clean-up, then a
// good run: after each, the files and the entry are both the old ones or both the new ones.
TEST_F(Entry, KilledRunIsMadeToAgreeByTheNext) {
    // written: the kill comes after the new entry is written, which shows that it came where it should.
    struct Case { const char* what; const wchar_t* hold; bool written, committed; };
    const Case cases[] = {
        {"archive staged, the copy being written", L"2:0", false, false},
        {"journal complete, before the first rename", L"7:0", false, false},
        {"entry written, before the commit", L"20:0", true, false},
        {"committed", L"5:0", true, true},
        {"committed, before the old copy goes", L"21:0", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ManagedState::Clear();
        ASSERT_EQ(Install(viewer), 0u);
        HKEY k;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kUninstall) + L"Zorvalind.PlugIns.ARM64").c_str(), 0,
                                KEY_SET_VALUE | KEY_WOW64_64KEY, &k),
                  ERROR_SUCCESS);
        RegSetValueExW(k, L"DisplayVersion", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"4.70"), 10);
        RegCloseKey(k);
        MakeOldSet();
        const Values old = Entry0();
        const std::wstring oldCopy = CopyOf(old.at(L"UninstallString"));

        ASSERT_TRUE(KillSetupAt(InstallLine(viewer), start, c.hold)) << "never reached " << c.hold;
        EXPECT_EQ(Entry0()[L"DisplayVersion"], c.written ? L"4.76" : L"4.70") << "killed elsewhere";
        {
            TemporaryFolderOverride missing{scratch / L"no such folder"};
            EXPECT_EQ(Install(viewer), 4u);
        }
        const Values after = Entry0();
        if (c.committed) {
            EXPECT_TRUE(PackIs(true));
            EXPECT_EQ(after.count(L"DisplayVersion") ? after.at(L"DisplayVersion") : L"", L"4.76");
            EXPECT_TRUE(Exists(CopyOf(after.count(L"UninstallString") ? after.at(L"UninstallString") : L"")));
        } else {
            EXPECT_TRUE(PackIs(false));
            EXPECT_EQ(after, old);
            EXPECT_EQ(CopyFolders(programData), std::vector<std::wstring>{Parent(oldCopy).substr(programData.size() + 1)});
            EXPECT_FALSE(RegistryKeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zorvalind.PlugIns.ARM64.Pending"));
        }
        EXPECT_TRUE(SetupLeftovers(plugins).empty());

        ASSERT_EQ(Install(viewer), 0u);
        EXPECT_TRUE(PackIs(true));
        const std::wstring copy = CopyOf(Entry0()[L"UninstallString"]);
        EXPECT_EQ(Entry0()[L"DisplayVersion"], L"4.76");
        EXPECT_EQ(CopyFolders(programData), std::vector<std::wstring>{Parent(copy).substr(programData.size() + 1)})
            << "a copy no entry runs is left";
    }
}

// A removal killed with its entry deleted but before its commit, and one killed once committed;
// the next run (an install that then fails) puts back both, or finishes both.
TEST_F(Entry, KilledRemovalIsMadeToAgreeByTheNext) {
    struct Case { const char* what; const wchar_t* hold; bool committed; };
    const Case cases[] = {{"entry deleted, before the commit", L"20:0", false}, {"committed", L"5:0", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ManagedState::Clear();
        ASSERT_EQ(Install(viewer), 0u);
        const Values installed = Entry0();
        const std::wstring copy = CopyOf(installed.at(L"UninstallString"));
        ASSERT_TRUE(KillSetupAt(InstallLine(viewer) + L" /uninstall", start, c.hold)) << "never reached " << c.hold;
        EXPECT_TRUE(Entry0().empty()) << "killed before the entry was deleted";
        {
            TemporaryFolderOverride missing{scratch / L"no such folder"};
            EXPECT_EQ(Install(viewer), 4u);
        }
        if (c.committed) {
            EXPECT_TRUE(ListFiles(plugins).empty());
            EXPECT_TRUE(Entry0().empty());
            EXPECT_TRUE(CopyFolders(programData).empty());
        } else {
            EXPECT_TRUE(PackIs(true));
            EXPECT_EQ(Entry0(), installed);
            EXPECT_TRUE(Exists(copy));
        }
        EXPECT_TRUE(SetupLeftovers(plugins).empty());
        EXPECT_FALSE(RegistryKeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zorvalind.PlugIns.ARM64.Pending"));
    }
}

TEST_F(Entry, SecondViewerFolderKeepsAnEntryOfItsOwn) {
    const std::wstring other = scratch / L"Other Viewer";
    ASSERT_TRUE(CreateDirectoryW(other.c_str(), nullptr));
    ASSERT_EQ(Install(viewer), 0u);
    ASSERT_EQ(Install(other), 0u);
    ASSERT_EQ(Install(viewer), 0u);  // again: it finds its own entry, the other's stays
    const Values first = Entry0();
    EXPECT_EQ(first.count(L"InstallLocation") ? first.at(L"InstallLocation") : L"", PluginsLocation());
    std::wstring second;
    HKEY k;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall", 0,
                            KEY_READ | KEY_WOW64_64KEY, &k),
              ERROR_SUCCESS);
    wchar_t name[256];
    for (DWORD i = 0, chars = 256; RegEnumKeyExW(k, i, name, &chars, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         ++i, chars = 256)
        if (wcsncmp(name, L"Zorvalind.PlugIns.ARM64.", 24) == 0) second = name;
    RegCloseKey(k);
    ASSERT_FALSE(second.empty()) << "the second folder has no entry of its own";
    Values theirs = ReadEntry(HKEY_LOCAL_MACHINE, std::wstring(kUninstall) + second);
    EXPECT_EQ(theirs[L"InstallLocation"], FinalPath(other + L"\\Plugins"));
    EXPECT_EQ(theirs[L"DisplayName"], L"Zorvalind PlugIns ARM 64-bit (" + FinalPath(other) + L")");
    EXPECT_EQ(CopyFolders(programData).size(), 2u);

    EXPECT_EQ(Run(theirs[L"QuietUninstallString"], L"").exitCode, 0u);
    EXPECT_TRUE(ReadEntry(HKEY_LOCAL_MACHINE, std::wstring(kUninstall) + second).empty());
    EXPECT_EQ(Entry0(), first);
    EXPECT_TRUE(PackIs(true));
}

// %ProgramData% lets every user make folders and links: one that stands at the copy's name
// before an install is never written into or through, nor one swapped in before a removal.
TEST_F(Entry, PlantedFolderOrLinkAtTheCopysPlaceIsNeverWrittenThrough) {
    const std::wstring place = programData + L"\\Zorvalind.PlugIns.ARM64", elsewhere = scratch / L"elsewhere";
    ASSERT_TRUE(CreateDirectoryW(elsewhere.c_str(), nullptr));
    const bool unix = !UnixPath(place).empty();
    for (bool link : {false, true}) {
        if (link && !unix) continue;
        SCOPED_TRACE(link ? "a link to a folder elsewhere" : "a folder of a user's");
        ManagedState::Clear();
        if (link)
            RunShell(L"ln -s \"$0\" \"$1\"", UnixPath(elsewhere), UnixPath(place));
        else
            ASSERT_TRUE(CreateDirectoryW(place.c_str(), nullptr) && WriteBytes(place + L"\\planted.txt", "a user's"));
        ASSERT_TRUE(Exists(place));
        ASSERT_EQ(Install(viewer), 0u);
        const std::wstring copy = CopyOf(Entry0()[L"UninstallString"]);
        EXPECT_TRUE(Exists(copy));
        EXPECT_NE(Parent(copy), place);
        EXPECT_EQ(ListFiles(link ? elsewhere : place), link ? std::vector<std::wstring>{} : std::vector<std::wstring>{L"planted.txt"})
            << "written into or through what stood there";
        if (link) {
            RunShell(L"rm -f \"$0\"", UnixPath(place));
        } else {
            DeleteFileW((place + L"\\planted.txt").c_str());
            RemoveDirectoryW(place.c_str());
        }
    }
    if (!unix) return;
    // The copy's folder swapped for a link to a folder with a file of the copy's name.
    const std::wstring copy = CopyOf(Entry0()[L"UninstallString"]);
    ASSERT_TRUE(WriteBytes(elsewhere + L"\\ZorvalindPlugInsSetup.exe", "bait"));
    RunShell(L"rm -rf \"$0\" && ln -s \"$1\" \"$0\"", UnixPath(Parent(copy)), UnixPath(elsewhere));
    EXPECT_EQ(Run(InstallLine(viewer) + L" /uninstall").exitCode, 0u);
    EXPECT_TRUE(Entry0().empty());
    std::string bait;
    EXPECT_TRUE(ReadBytes(elsewhere + L"\\ZorvalindPlugInsSetup.exe", bait) && bait == "bait");
    RunShell(L"rm -f \"$0\"", UnixPath(Parent(copy)));
}

// The copy's thread opens the running program, which any user who can read it can hold up
// with an oplock whose break is never acknowledged: the run ends within the step limit as
// busy, with nothing changed, rather than wait for ever.
TEST_F(Entry, CopyThatNeverGetsItsSourceEndsTheRunInTime) {
    ASSERT_EQ(Install(viewer), 0u);
    const Values before = Entry0();
    const std::vector<std::wstring> copies = CopyFolders(programData);
    MakeOldSet();
    SetEnvironmentVariableW(L"ZORVALIND_SETUP_TEST_STALL", L"22:0");
    SetEnvironmentVariableW(L"ZORVALIND_SETUP_TEST_STEP_LIMIT_MS", L"1500");
    SetupOptions o;
    o.executable = SETUP_TESTHOST_EXE;
    o.commandLine = InstallLine(viewer);
    o.currentDirectory = start;
    o.timeoutMs = 30000;
    const SetupRun run = RunSetup(o);
    SetEnvironmentVariableW(L"ZORVALIND_SETUP_TEST_STALL", nullptr);
    SetEnvironmentVariableW(L"ZORVALIND_SETUP_TEST_STEP_LIMIT_MS", nullptr);
    ASSERT_TRUE(run.finished) << "the run waited past its limit";
    EXPECT_EQ(run.exitCode, 1618u);
    EXPECT_TRUE(PackIs(false));
    EXPECT_EQ(Entry0(), before);
    EXPECT_EQ(CopyFolders(programData), copies);
    EXPECT_FALSE(RegistryKeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zorvalind.PlugIns.ARM64.Pending"));
    EXPECT_TRUE(SetupLeftovers(plugins).empty());
}

// A copy held open cannot be deleted now. A folder of a user's at a copy folder's name is not
// ours, so nothing is scheduled through it for the next restart, by when the user may have
// swapped it for a link; the install's own copy, in a folder no user can change, is.
TEST_F(Entry, CopyHeldOpenIsScheduledForDeletionOnlyInAFolderOfOurs) {
    const std::wstring planted = programData + L"\\Zorvalind.PlugIns.ARM64-0BADF00D";
    struct Case { const char* what; bool removal, own; };
    const Case cases[] = {
        {"a user's folder, at an install", false, false},
        {"a user's folder, at a removal", true, false},
        {"the install's own copy, at a removal", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ManagedState::Clear();
        HKEY session;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_SET_VALUE, &session), ERROR_SUCCESS);
        RegDeleteValueW(session, L"PendingFileRenameOperations");
        RegCloseKey(session);
        if (c.removal) {
            ASSERT_EQ(Install(viewer), 0u);
        }
        std::wstring copy = planted + L"\\ZorvalindPlugInsSetup.exe";
        if (c.own)
            copy = CopyOf(Entry0()[L"UninstallString"]);
        else
            ASSERT_TRUE(CreateDirectoryW(planted.c_str(), nullptr) && WriteBytes(copy, "a user's"));
        HANDLE held = CreateFileW(copy.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        const DWORD code = Run(InstallLine(viewer) + (c.removal ? L" /uninstall" : L"")).exitCode;
        CloseHandle(held);
        EXPECT_EQ(code, 0u);
        const std::vector<std::wstring> pending = PendingRenames();
        const bool scheduled = std::find(pending.begin(), pending.end(), L"\\??\\" + copy) != pending.end();
        // Wine keeps no owner but the Unix user's: there even the install's own folder reads as
        // nobody's but this user's, and is left rather than scheduled.
        EXPECT_EQ(scheduled, c.own && OwnedByAdministrators(Parent(copy)));
        for (const std::wstring& item : pending) {
            EXPECT_EQ(item.find(planted), std::wstring::npos) << item;
        }
        EXPECT_TRUE(Exists(copy));
        if (!c.own) {
            DeleteFileW(copy.c_str());
            RemoveDirectoryW(planted.c_str());
        }
    }
}

// A user installs into a viewer folder of their own, without elevation: the entry is theirs
// (HKCU) and so is the copy (%LOCALAPPDATA%); HKLM and %ProgramData% stay as they were.
TEST_F(Entry, InstallWithoutElevationKeepsEntryAndCopyForTheUser) {
    DWORD code = 99;
    ASSERT_TRUE(RunUnelevated(InstallLine(viewer), start, code)) << "no process without elevation";
    ASSERT_EQ(code, 0u);
    const Values entry = ReadEntry(HKEY_CURRENT_USER, std::wstring(kUninstall) + L"Zorvalind.PlugIns.ARM64");
    ASSERT_FALSE(entry.empty()) << "no entry under HKCU";
    EXPECT_TRUE(Entry0().empty()) << "an entry under HKLM";
    const std::wstring copy = CopyOf(entry.at(L"QuietUninstallString"));
    EXPECT_EQ(Parent(Parent(copy)), CopyRootFor(false));
    EXPECT_TRUE(Exists(copy));
    EXPECT_TRUE(CopyFolders(programData).empty());
    EXPECT_EQ(entry.at(L"InstallLocation"), PluginsLocation());

    ASSERT_TRUE(RunUnelevated(entry.at(L"QuietUninstallString"), start, code));
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(ReadEntry(HKEY_CURRENT_USER, std::wstring(kUninstall) + L"Zorvalind.PlugIns.ARM64").empty());
    EXPECT_TRUE(ListFiles(plugins).empty());
    // The copy ran the removal: it goes at the user's next logon, with its folder.
    if (Exists(copy)) {
        const std::wstring command = RegistryText(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce",
                                                  (Parent(copy).substr(Parent(copy).rfind(L'\\') + 1) + L" copy").c_str());
        EXPECT_NE(command.find(L"del /f /q " + Quoted(copy)), std::wstring::npos) << command;
        EXPECT_NE(command.find(L"rd " + Quoted(Parent(copy))), std::wstring::npos) << command;
    }
}

} // namespace
