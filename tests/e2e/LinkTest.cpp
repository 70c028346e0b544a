// An install tree that a link redirects elsewhere: nothing is written, renamed or deleted
// there, and the install fails before it changes anything. Under Wine a Unix symbolic link
// stands in for a junction: it looks like a plain folder, but its final path gives it away.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <map>

#include "e2e/SetupProcess.h"
#include "support/ScratchFolder.h"
#include "support/TestArchive.h"
#include "support/Unix.h"

namespace {

using Files = std::map<std::wstring, std::string>;

class Links : public ::testing::Test {
protected:
    ScratchFolder scratch;
    std::wstring start = scratch / L"start";
    std::wstring temp = scratch / L"temp";
    std::wstring viewer = scratch / L"Viewer";
    std::wstring plugins = viewer + L"\\Plugins";
    std::wstring elsewhere = scratch / L"Elsewhere";
    TemporaryFolderOverride temporary{temp};
    std::vector<std::wstring> pack = ListFiles(PAYLOAD_SOURCE_FOLDER);

    void SetUp() override {
        if (UnixPath(scratch.Path()).empty()) GTEST_SKIP() << "no Unix side to make a link on";
        if (PAYLOAD_SOURCE_FOLDER[0] == L'\0') GTEST_SKIP() << "the pack was embedded from a prebuilt archive";
        for (const std::wstring& f : {start, temp, viewer, elsewhere}) ASSERT_TRUE(CreateDirectoryW(f.c_str(), nullptr));
    }
    void Link(const std::wstring& target, const std::wstring& link) {
        RunShell(L"ln -s \"$0\" \"$1\"", UnixPath(target), UnixPath(link));
        ASSERT_TRUE(Exists(link));
    }
    SetupRun Install(const std::wstring& folder) {
        SetupOptions o;
        o.executable = SETUP_TESTHOST_EXE;
        o.commandLine = L"\"" SETUP_TESTHOST_EXE L"\" /silent /folder=\"" + folder + L"\"";
        o.currentDirectory = start;
        return RunSetup(o);
    }
};

TEST_F(Links, LinkedPluginsOrSubfolderIsRefused) {
    // The pack's folder two levels down, and a file of the pack in it.
    std::wstring deep;
    for (const std::wstring& f : pack)
        if (std::count(f.begin(), f.end(), L'\\') == 2) deep = f.substr(0, f.rfind(L'\\'));
    ASSERT_FALSE(deep.empty()) << "the pack has no folder two levels down";
    struct Case { const char* what; std::wstring linked; };
    for (const Case& c : {Case{"Plugins", L""}, Case{"a subfolder two levels down", deep}}) {
        SCOPED_TRACE(c.what);
        RemoveTree(plugins);
        RemoveTree(elsewhere);
        ASSERT_TRUE(CreateDirectoryW(elsewhere.c_str(), nullptr));
        // Where the link leads: files of the pack's names and one of its own.
        const std::wstring prefix = c.linked.empty() ? L"" : c.linked + L"\\";
        for (const std::wstring& f : pack) {
            if (f.compare(0, prefix.size(), prefix) != 0 || f.find(L'\\', prefix.size()) != std::wstring::npos) continue;
            ASSERT_TRUE(WriteBytes(elsewhere + L"\\" + f.substr(prefix.size()), "elsewhere's")) << f;
        }
        ASSERT_TRUE(WriteBytes(elsewhere + L"\\own.txt", "elsewhere's own"));
        if (c.linked.empty()) {
            Link(elsewhere, plugins);
        } else {
            const std::wstring parent = plugins + L"\\" + c.linked.substr(0, c.linked.rfind(L'\\'));
            for (size_t at = parent.find(L'\\', viewer.size() + 1); at != std::wstring::npos; at = parent.find(L'\\', at + 1))
                CreateDirectoryW(parent.substr(0, at).c_str(), nullptr);
            ASSERT_TRUE(CreateDirectoryW(parent.c_str(), nullptr));
            Link(elsewhere, plugins + L"\\" + c.linked);
        }
        if (HasFatalFailure()) return;
        const Files there = TreeContents(elsewhere), tree = TreeContents(viewer);
        ASSERT_FALSE(there.empty());
        SetupRun run = Install(viewer);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 4u);
        EXPECT_TRUE(TreeContents(elsewhere) == there);
        EXPECT_TRUE(TreeContents(viewer) == tree);
        RunShell(L"rm -f \"$0\"", UnixPath(c.linked.empty() ? plugins : plugins + L"\\" + c.linked));
    }
}

// A link on the way to the viewer's folder, as an administrator may set one up, is
// followed once and the pack goes where it leads.
TEST_F(Links, ViewerFolderReachedThroughALinkInstalls) {
    const std::wstring link = scratch / L"ViewerLink";
    Link(viewer, link);
    if (HasFatalFailure()) return;
    SetupRun run = Install(link);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(ListFiles(plugins), pack);
    EXPECT_TRUE(ListFiles(start).empty());
}

} // namespace
