// A folder held as the install holds its tree: it cannot be renamed or removed meanwhile,
// and one reached through a link is refused.
#include <gtest/gtest.h>

#include <windows.h>

#include "payload/HeldFolder.h"
#include "support/ScratchFolder.h"
#include "support/Unix.h"

namespace {

TEST(HeldFolder, StaysWhereItIsAndRefusesALink) {
    ScratchFolder scratch;
    const std::wstring folder = scratch / L"held", moved = scratch / L"moved";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    fw::unique_hfile held;
    DWORD error = 0;
    ASSERT_TRUE(HoldFolder((L"\\\\?\\" + folder).c_str(), held, error)) << error;
    EXPECT_FALSE(MoveFileW(folder.c_str(), moved.c_str()));
    EXPECT_FALSE(RemoveDirectoryW(folder.c_str()));
    held.reset();
    EXPECT_TRUE(MoveFileW(folder.c_str(), moved.c_str()));

    // A file where a folder should be.
    ASSERT_TRUE(WriteBytes(folder, "a file"));
    EXPECT_FALSE(HoldFolder((L"\\\\?\\" + folder).c_str(), held, error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_DIRECTORY));
    ASSERT_TRUE(DeleteFileW(folder.c_str()));

    if (UnixPath(scratch.Path()).empty()) GTEST_SKIP() << "no Unix side to make a link on";
    RunShell(L"ln -s \"$0\" \"$1\"", UnixPath(moved), UnixPath(scratch.Path()) + L"/held");
    ASSERT_TRUE(Exists(folder));
    EXPECT_FALSE(HoldFolder((L"\\\\?\\" + folder).c_str(), held, error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_UNTRUSTED_MOUNT_POINT));
    EXPECT_FALSE(fw::Valid(held));
}

} // namespace
