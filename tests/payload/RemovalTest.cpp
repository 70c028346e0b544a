// Removing the embedded pack from a plug-in folder: its files and emptied folders go, the
// user's own stay as they were.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <map>

#include "payload/Payload.h"
#include "payload/Transaction.h"
#include "support/ScratchFolder.h"
#include "support/TestArchive.h"
#include "support/Unix.h"

namespace {

struct Seen {
    std::string bytes;
    FILETIME written{};
    bool operator==(const Seen& o) const {
        return bytes == o.bytes && CompareFileTime(&written, &o.written) == 0;
    }
};
using Tree = std::map<std::wstring, Seen>;

// Every file with its bytes and time, every folder (with a trailing backslash).
Tree Look(const std::wstring& root) {
    Tree tree;
    for (const std::wstring& f : ListFiles(root)) {
        Seen& s = tree[f];
        EXPECT_TRUE(ReadBytes(root + L"\\" + f, s.bytes));
        WIN32_FILE_ATTRIBUTE_DATA data{};
        EXPECT_TRUE(GetFileAttributesExW((root + L"\\" + f).c_str(), GetFileExInfoStandard, &data));
        s.written = data.ftLastWriteTime;
    }
    for (const std::wstring& f : ListFolders(root)) tree[f + L"\\"] = Seen{};
    return tree;
}

class Removal : public ::testing::Test {
protected:
    ScratchFolder scratch;
    std::wstring temp = scratch / L"temp";
    std::wstring plugins = scratch / L"Plugins";
    TemporaryFolderOverride temporary{temp};
    std::vector<std::wstring> packFolders = ListFolders(PAYLOAD_SOURCE_FOLDER);

    void SetUp() override {
        if (!PAYLOAD_FROM_PACKER) GTEST_SKIP() << "the pack was embedded from a prebuilt archive";
        ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(plugins.c_str(), nullptr));
        ASSERT_FALSE(packFolders.empty());
    }
    // The user's own: in Plugins, in one of the pack's folders, in a folder of their own.
    Tree PlaceUsersOwn() {
        EXPECT_TRUE(WriteBytes(plugins + L"\\mine.8bf", "mine"));
        EXPECT_TRUE(WriteBytes(plugins + L"\\" + packFolders.back() + L"\\mine too.dll", "mine too"));
        EXPECT_TRUE(CreateDirectoryW((plugins + L"\\Own").c_str(), nullptr));
        EXPECT_TRUE(WriteBytes(plugins + L"\\Own\\x.dll", "x"));
        return Look(plugins);
    }
};

TEST_F(Removal, RemovesThePackAndItsEmptiedFoldersOnly) {
    ASSERT_EQ(ExtractPayload((plugins + L"\\").c_str()), 0);
    PlaceUsersOwn();
    Tree expected;
    for (const auto& [name, seen] : Look(plugins)) {
        const bool ours = Exists(std::wstring(PAYLOAD_SOURCE_FOLDER) + L"\\" + name) && name.back() != L'\\';
        if (!ours) expected[name] = seen;
    }
    ASSERT_EQ(RemovePayload((plugins + L"\\").c_str()), 0);
    // The pack's folder that holds a file of the user's stays, with its parents; the others go.
    Tree kept;
    for (const auto& [name, seen] : expected) {
        if (name.back() != L'\\') {
            kept[name] = seen;
            for (size_t at = name.find(L'\\'); at != std::wstring::npos; at = name.find(L'\\', at + 1))
                kept[name.substr(0, at + 1)] = Seen{};
        }
    }
    EXPECT_TRUE(Look(plugins) == kept);
    EXPECT_TRUE(Exists(plugins));
    // Once more: nothing left to remove is success, and changes nothing.
    EXPECT_EQ(RemovePayload((plugins + L"\\").c_str()), 0);
    EXPECT_TRUE(Look(plugins) == kept);
    EXPECT_TRUE(SetupLeftovers(plugins).empty());
}

TEST_F(Removal, NoPluginFolderIsNothingToRemove) {
    EXPECT_EQ(RemovePayload((scratch / L"none\\Plugins\\").c_str()), 0);
    EXPECT_FALSE(Exists(scratch / L"none"));
}

// One file of the pack held open without delete sharing: it cannot go, so nothing goes.
TEST_F(Removal, FileThatCannotGoChangesNothing) {
    ASSERT_EQ(ExtractPayload((plugins + L"\\").c_str()), 0);
    PlaceUsersOwn();
    const std::vector<std::wstring> pack = ListFiles(PAYLOAD_SOURCE_FOLDER);
    const Tree before = Look(plugins);
    HANDLE held = CreateFileW((plugins + L"\\" + pack.back()).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(RemovePayload((plugins + L"\\").c_str()), -1);
    CloseHandle(held);
    EXPECT_TRUE(Look(plugins) == before);
    EXPECT_TRUE(SetupLeftovers(plugins).empty());
}

// The emptied folders go only as themselves: once the files are gone, a folder above one
// of them is swapped for a link to a folder that holds an empty folder of the same name;
// nothing there goes.
TEST_F(Removal, EmptiedFolderReachedThroughALinkStays) {
    if (UnixPath(scratch.Path()).empty()) GTEST_SKIP() << "no Unix side to make a link on";
    static std::wstring parent, elsewhere;
    std::wstring child;
    for (const std::wstring& f : packFolders)
        if (std::count(f.begin(), f.end(), L'\\') == 1) {
            parent = plugins + L"\\" + f.substr(0, f.find(L'\\'));
            child = f.substr(f.find(L'\\') + 1);
        }
    ASSERT_FALSE(child.empty()) << "the pack has no folder two levels down";
    elsewhere = scratch / L"Elsewhere";
    ASSERT_TRUE(CreateDirectoryW(elsewhere.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((elsewhere + L"\\" + child).c_str(), nullptr));
    ASSERT_EQ(ExtractPayload((plugins + L"\\").c_str()), 0);
    ASSERT_TRUE(SetCurrentDirectoryW(scratch.Path().c_str()));
    TransactionProbe = [](int stage, unsigned) {
        if (stage != 8) return;
        MoveFileW(parent.c_str(), (parent + L".moved").c_str());
        RunShell(L"ln -s \"$0\" \"$1\"", UnixPath(elsewhere), UnixPath(parent));
    };
    const int removed = RemovePayload((plugins + L"\\").c_str());
    TransactionProbe = nullptr;
    EXPECT_EQ(removed, 0);
    EXPECT_TRUE(Exists(parent + L".moved"));  // the swap happened
    EXPECT_TRUE(Exists(elsewhere + L"\\" + child));
    RunShell(L"rm -f \"$0\"", UnixPath(parent));
}

} // namespace
