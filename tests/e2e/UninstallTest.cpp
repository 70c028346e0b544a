// "/uninstall" as an administrator's tool or a person meets it: the pack goes, the user's
// own files and folders stay as they were, and every refusal leaves the folder untouched.
#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <memory>
#include <set>

#include "app/MessageIds.h"
#include "e2e/SetupProcess.h"
#include "framework/Handles.h"
#include "framework/Strings.h"
#include "support/LogEntries.h"
#include "support/RegistryGuard.h"
#include "support/ScratchFolder.h"

namespace {

const wchar_t kCaption[] = L"Zorvalind PlugIns ARM 64-bit Setup";


// Every file below a folder with its bytes and times, and every folder.
struct Item {
    std::string bytes;
    FILETIME created{}, written{};
    bool folder = false;
    bool operator==(const Item& o) const {
        return bytes == o.bytes && folder == o.folder && CompareFileTime(&created, &o.created) == 0 &&
               CompareFileTime(&written, &o.written) == 0;
    }
};
using Tree = std::map<std::wstring, Item>;

Tree Snapshot(const std::wstring& root) {
    Tree tree;
    for (const std::wstring& f : ListFolders(root)) tree[f].folder = true;
    for (const std::wstring& f : ListFiles(root)) {
        Item& item = tree[f];
        ReadBytes(root + L"\\" + f, item.bytes);
        WIN32_FILE_ATTRIBUTE_DATA data{};
        GetFileAttributesExW((root + L"\\" + f).c_str(), GetFileExInfoStandard, &data);
        item.created = data.ftCreationTime;
        item.written = data.ftLastWriteTime;
    }
    return tree;
}

std::wstring Parent(const std::wstring& path) {
    const size_t at = path.rfind(L'\\');
    return at == std::wstring::npos ? L"" : path.substr(0, at);
}

class Uninstall : public ::testing::Test {
protected:
    ScratchFolder scratch;
    std::wstring start = scratch / L"start";
    std::wstring log = scratch / L"logs\\uninstall.log";
    std::wstring viewer = scratch / L"Viewer";
    std::wstring plugins = viewer + L"\\Plugins";
    std::vector<std::wstring> pack = ListFiles(PAYLOAD_SOURCE_FOLDER);
    RegistryGuard registry;

    void SetUp() override {
        if (PAYLOAD_SOURCE_FOLDER[0] == L'\0') GTEST_SKIP() << "the pack was embedded from a prebuilt archive";
        ASSERT_TRUE(CreateDirectoryW(start.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW((scratch / L"logs").c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(viewer.c_str(), nullptr));
        // The viewer as the registry names it: "/uninstall" finds it as an install does.
        ASSERT_TRUE(registry.SetString(RegistryGuard::kCommandKey, nullptr, Quoted(viewer + L"\\zorvi64.exe") + L" \"%1\""));
        ASSERT_FALSE(pack.empty());
    }
    SetupRun Run(const std::wstring& arguments, int answer = IDOK) {
        SetupOptions o;
        o.executable = SETUP_TESTHOST_EXE;
        o.commandLine = Quoted(SETUP_TESTHOST_EXE) + L" " + arguments;
        o.currentDirectory = start;
        o.timeoutMs = 60000;
        o.answer = answer;
        SetupRun run = RunSetup(o);
        EXPECT_TRUE(run.finished) << "the run did not end in time";
        return run;
    }
    void Install() {
        SetupRun run = Run(L"/silent");
        ASSERT_EQ(run.exitCode, 0u);
        ASSERT_EQ(ListFiles(plugins), pack);
    }
    std::string Log() {
        std::string b;
        // The entries an install logs too; the run's first and last and a failure's detail are
        // the "/log=" file's own, tested with the install.
        return ReadBytes(log, b) ? WithoutDetail(StripTimes(b)) : std::string("<no log>");
    }
    // Files and folders of the user's own: beside the pack, inside one of its folders, and in
    // folders of their own (one of them empty). Each with bytes and times of its own.
    std::vector<std::wstring> AddUsersFiles() {
        std::wstring packFolder;
        for (const std::wstring& f : pack)
            if (packFolder.empty() && f.find(L'\\') != std::wstring::npos) packFolder = Parent(f);
        EXPECT_FALSE(packFolder.empty()) << "the pack has no folder";
        const std::vector<std::wstring> files = {L"mine.dll", packFolder + L"\\my notes.txt", L"My Filters\\sharpen.8bf"};
        EXPECT_TRUE(CreateDirectoryW((plugins + L"\\My Filters").c_str(), nullptr));
        EXPECT_TRUE(CreateDirectoryW((plugins + L"\\My Empty Folder").c_str(), nullptr));
        FILETIME old{0x2A3B4C00, 0x01D0F000};  // 2015, not a time the setup writes
        for (const std::wstring& f : files) {
            const std::wstring path = plugins + L"\\" + f;
            EXPECT_TRUE(WriteBytes(path, "the user's own " + std::string(f.begin(), f.end())));
            fw::unique_hfile h(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            EXPECT_TRUE(SetFileTime(h.get(), &old, nullptr, &old));
        }
        return files;
    }
    // What a removal must leave: the user's files and folders, and the folders that hold them.
    Tree Without(const Tree& tree, const std::vector<std::wstring>& packFiles) {
        Tree left = tree;
        for (const std::wstring& f : packFiles) left.erase(f);
        std::set<std::wstring> needed;
        for (const auto& [name, item] : left) {
            if (item.folder && IsPackFolder(name)) continue;
            for (std::wstring p = item.folder ? name : Parent(name); !p.empty(); p = Parent(p)) needed.insert(p);
        }
        for (auto it = left.begin(); it != left.end();)
            it = it->second.folder && !needed.count(it->first) && IsPackFolder(it->first) ? left.erase(it) : ++it;
        return left;
    }
    bool IsPackFolder(const std::wstring& folder) {
        for (const std::wstring& f : pack)
            if (f.rfind(folder + L"\\", 0) == 0) return true;
        return false;
    }
};

TEST_F(Uninstall, RemovesThePackKeepsTheUsersOwnAndCanBeRepeated) {
    Install();
    const std::vector<std::wstring> mine = AddUsersFiles();
    const Tree before = Snapshot(plugins);
    const Tree expected = Without(before, pack);
    ASSERT_GT(expected.size(), mine.size()) << "the user's folders are in the tree too";

    const std::wstring arguments = L"/silent /uninstall /log=" + Quoted(log);
    SetupRun run = Run(arguments);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_EQ(Snapshot(plugins), expected) << "exactly the pack's files and its emptied folders go";
    EXPECT_TRUE(SetupLeftovers(viewer).empty());
    EXPECT_EQ(Log(), Entry(IDS_UNINSTALLED));

    // Again: nothing of the pack is left, which is success, and nothing else changes.
    DeleteFileW(log.c_str());
    run = Run(arguments);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(Snapshot(plugins), expected);
    EXPECT_EQ(Log(), Entry(IDS_UNINSTALLED));

    // No Plugins folder at all: success, and none is made.
    RemoveTree(plugins);
    run = Run(L"/silent /uninstall");
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_FALSE(Exists(plugins));
    EXPECT_TRUE(ListFiles(start).empty()) << "a successful run without /log= writes no log";
}

TEST_F(Uninstall, AskedFirstAndTellsTheOutcome) {
    Install();
    SetupRun run = Run(L"/uninstall", IDYES);
    EXPECT_EQ(run.exitCode, 0u);
    ASSERT_EQ(run.boxes.size(), 2u);
    EXPECT_EQ(run.boxes[0].caption, kCaption);
    EXPECT_EQ(run.boxes[0].text, L"Remove the Zorvalind plug-ins from " + plugins + L"?");
    EXPECT_EQ(run.boxes[0].defaultButton, IDNO);
    EXPECT_TRUE(run.boxes[0].hasIcon);
    EXPECT_EQ(run.boxes[1].caption, kCaption);
    EXPECT_EQ(run.boxes[1].text, fw::CString(IDS_UNINSTALLED).c_str());
    EXPECT_TRUE(run.boxes[1].hasIcon);
    EXPECT_TRUE(ListFiles(plugins).empty());
    EXPECT_TRUE(ListFiles(start).empty()) << "a run with a window writes no log";
}

// The folder comes as for an install: "/folder=" before the registry, "/app" over both; the
// pack goes from that folder only.
TEST_F(Uninstall, FindsTheFolderAsAnInstallDoes) {
    const std::wstring given = scratch / L"Given Folder", programFiles = scratch / L"PF";
    const std::wstring defaultFolder = programFiles + L"\\Zorvalind";
    ASSERT_TRUE(registry.SetString(RegistryGuard::kCurrentVersionKey, L"ProgramFilesDir", programFiles));
    struct Case { const char* what; std::wstring switches, folder; };
    const Case cases[] = {
        {"registry", L"", viewer},
        {"/folder=", L"/folder=" + Quoted(given), given},
        {"/app", L"/app /folder=" + Quoted(given), defaultFolder},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(Run(L"/silent " + c.switches).exitCode, 0u);
        for (const std::wstring& other : {viewer, given, defaultFolder}) {
            if (other != c.folder) {
                ASSERT_EQ(Run(L"/silent /folder=" + Quoted(other)).exitCode, 0u);
            }
        }
        EXPECT_EQ(Run(L"/silent /uninstall " + c.switches).exitCode, 0u);
        for (const std::wstring& folder : {viewer, given, defaultFolder}) {
            SCOPED_TRACE(testing::Message() << std::string(folder.begin(), folder.end()));
            EXPECT_EQ(ListFiles(folder + L"\\Plugins"), folder == c.folder ? std::vector<std::wstring>{} : pack);
            RemoveTree(folder + L"\\Plugins");
        }
    }
}

// Every way a removal refuses or fails: the exit code, what it says, and a folder exactly as
// it was.
TEST_F(Uninstall, RefusalsAndFailuresChangeNothing) {
    Install();
    AddUsersFiles();
    const Tree before = Snapshot(plugins);
    enum Obstacle { None, Viewer, AnotherSetup, HeldOpen };
    struct Case {
        const char* what;
        std::wstring arguments;
        Obstacle obstacle;
        int answer;
        DWORD exit;
        std::string log;               // silent runs: the log's entries
        std::vector<std::wstring> boxes;  // runs with a window: the boxes' texts
    };
    const std::wstring silent = L"/silent /uninstall /log=" + Quoted(log);
    const std::wstring question = L"Remove the Zorvalind plug-ins from " + plugins + L"?";
    const Case cases[] = {
        {"silent, the viewer runs", silent, Viewer, IDOK, 7, Entry(IDS_VIEWER_RUNNING), {}},
        {"the viewer runs", L"/uninstall", Viewer, IDOK, 7, "", {fw::CString(IDS_VIEWER_RUNNING).c_str()}},
        {"the question answered No", L"/uninstall", None, IDNO, 2, "", {question}},
        {"silent, another setup runs", silent, AnotherSetup, IDOK, 1618, Entry(IDS_ANOTHER_SETUP), {}},
        {"silent, a relative folder", silent + L" /folder=Viewer", None, IDOK, 3, ExpectedEntryFor(L"No install folder!"), {}},
        {"silent, a pack file held open", silent, HeldOpen, IDOK, 4, Entry(IDS_CANT_UNINSTALL), {}},
        {"a pack file held open", L"/uninstall", HeldOpen, IDYES, 4, "", {question, fw::CString(IDS_CANT_UNINSTALL).c_str()}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DeleteFileW(log.c_str());
        std::unique_ptr<FakeViewer> fake(c.obstacle == Viewer ? new FakeViewer : nullptr);
        fw::unique_hfile other(c.obstacle == AnotherSetup ? CreateMutexW(nullptr, TRUE, L"Global\\ZorvalindPlugInsSetup-ARM64")
                                                          : nullptr);
        // Readable by others, but neither deletable nor renamable while it is open.
        fw::unique_hfile held(c.obstacle == HeldOpen ? CreateFileW((plugins + L"\\" + pack.back()).c_str(), GENERIC_READ,
                                                                   FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)
                                                     : nullptr);
        if (c.obstacle == HeldOpen) {
            ASSERT_TRUE(fw::Valid(held));
        }
        SetupRun run = Run(c.arguments, c.answer);
        EXPECT_EQ(run.exitCode, c.exit);
        std::vector<std::wstring> texts;
        for (const Box& b : run.boxes) {
            texts.push_back(b.text);
            EXPECT_EQ(b.caption, kCaption);
            EXPECT_TRUE(b.hasIcon);
        }
        EXPECT_EQ(texts, c.boxes);
        if (c.arguments.find(L"/silent") != std::wstring::npos) {
            EXPECT_EQ(Log(), c.log);
        }
        EXPECT_EQ(Snapshot(plugins), before) << "the folder changed";
        EXPECT_TRUE(SetupLeftovers(viewer).empty());
    }
    // Once the file is free the removal goes through.
    EXPECT_EQ(Run(L"/silent /uninstall").exitCode, 0u);
    EXPECT_EQ(Snapshot(plugins), Without(before, pack));
}

// A removal killed midway (after some files went aside, after all of them, at its commit,
// while deleting what it took away): the next removal finishes or undoes it and removes the
// pack; the user's own stay as they were.
TEST_F(Uninstall, KilledRemovalIsFinishedByTheNext) {
    Install();
    const std::vector<std::wstring> mine = AddUsersFiles();
    const unsigned last = static_cast<unsigned>(pack.size() - 1), mid = last / 2;
    const std::wstring holds[] = {L"1:" + std::to_wstring(mid), L"4:" + std::to_wstring(last), L"5:0",
                                  L"6:" + std::to_wstring(mid)};
    for (const std::wstring& hold : holds) {
        SCOPED_TRACE(std::string(hold.begin(), hold.end()));
        if (ListFiles(plugins).size() == mine.size()) {
            ASSERT_EQ(Run(L"/silent").exitCode, 0u);
        }
        ASSERT_EQ(ListFiles(plugins).size(), pack.size() + mine.size());
        const Tree before = Snapshot(plugins);
        ASSERT_TRUE(KillSetupAt(Quoted(SETUP_TESTHOST_EXE) + L" /silent /uninstall", start, hold.c_str()));
        SetupRun again = Run(L"/silent /uninstall");
        EXPECT_EQ(again.exitCode, 0u);
        EXPECT_TRUE(Snapshot(plugins) == Without(before, pack));
        EXPECT_TRUE(SetupLeftovers(plugins).empty());
    }
}

} // namespace
