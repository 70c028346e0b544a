#include <gtest/gtest.h>

#include <windows.h>

#include "install/DirectoryPath.h"
#include "support/ScratchFolder.h"
#include "support/Unix.h"

namespace {

class DirectoryPath : public ::testing::Test {
protected:
    ScratchFolder scratch;
    std::wstring start = scratch / L"start";
    void SetUp() override {
        ASSERT_TRUE(CreateDirectoryW(start.c_str(), nullptr));
        ASSERT_TRUE(SetCurrentDirectoryW(start.c_str()));
    }
    // Runs it on a copy with room to spare and checks the backslash it always gains.
    int Create(const std::wstring& path) {
        wchar_t buffer[600] = {};
        wcscpy(buffer, path.c_str());
        int result = CreateDirectoryPath(buffer);
        EXPECT_EQ(std::wstring(buffer), path.back() == L'\\' ? path : path + L"\\");
        EXPECT_EQ(CurrentDirectory(), start);
        return result;
    }
};

TEST_F(DirectoryPath, Cases) {
    ASSERT_TRUE(CreateDirectoryW((scratch / L"exists").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((scratch / L"x").c_str(), nullptr));
    struct Case { std::wstring path; int result; std::wstring made; std::wstring notMade; };
    const Case cases[] = {
        {scratch / L"exists", 1, scratch / L"exists", L""},
        {scratch / L"exists\\", 1, scratch / L"exists", L""},
        {scratch / L"new\\deeper", 1, scratch / L"new\\deeper", L""},
        {L"Q:\\Zorvalind\\Plugins", 0, L"", L"Q:\\Zorvalind"},
        {L"\\\\server\\share\\Plugins", 0, L"", L""},
        {L"\\\\server\\share\\" + std::wstring(300, L'a'), 0, L"", L""},  // longer than a level can be
        {L"\\\\server\\", 0, L"", L""},
        {L"Data\\Viewer", 0, L"", start + L"\\Data"},
        {scratch / L"x/y\\z", 1, scratch / L"x\\y\\z", L""},
        {scratch / L"nox/y\\z", 0, L"", scratch / L"nox"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(Create(c.path), c.result);
        EXPECT_TRUE(c.made.empty() || Exists(c.made));
        EXPECT_TRUE(c.notMade.empty() || !Exists(c.notMade));
    }
}

// C: and 255 characters ending in a backslash are split; one character more is not.
TEST_F(DirectoryPath, DirectoryPartLimit) {
    for (size_t total : {257u, 258u}) {
        SCOPED_TRACE(total);
        std::wstring first = scratch / (L"L" + std::to_wstring(total));
        std::wstring path = first + L"\\";
        while (path.size() + 1 < total) path += (path.size() % 60 == 0) ? L'\\' : L'a';
        if (path.back() == L'\\') path += L'b';
        path += L'\\';
        ASSERT_EQ(path.size(), total);
        int result = Create(path);
        if (total == 258) {
            EXPECT_EQ(result, 0);
            EXPECT_FALSE(Exists(first));
        } else {
            EXPECT_TRUE(Exists(first)) << "the levels were walked";
        }
    }
}

// Below a share only the levels after \\server\share\ are made. Wine serves \\server\share from
// dosdevices/unc/server/share in its prefix, here a link to the scratch folder.
TEST_F(DirectoryPath, LevelsBelowAShare) {
    wchar_t prefix[MAX_PATH] = {};
    const DWORD n = GetEnvironmentVariableW(L"WINEPREFIX", prefix, MAX_PATH);
    if (n == 0 || n >= MAX_PATH || UnixPath(scratch.Path()).empty()) GTEST_SKIP() << "no Wine prefix to serve a share from";
    const std::wstring unc = std::wstring(prefix) + L"/dosdevices/unc/zlserver";
    RunShell(L"mkdir -p \\\"$0\\\" && ln -sfn \\\"$1\\\" \\\"$0/share\\\"", unc, UnixPath(scratch.Path()));
    ASSERT_TRUE(Exists(L"\\\\zlserver\\share\\start")) << "the share is not served";
    EXPECT_EQ(Create(L"\\\\zlserver\\share\\Viewer\\Plugins"), 1);
    EXPECT_TRUE(Exists(scratch / L"Viewer\\Plugins"));
    RunShell(L"rm -rf \\\"$0\\\"", unc);
}

} // namespace
