// The machine-wide lock and the two refusals that start-up can give before anything else.
#include <gtest/gtest.h>

#include <windows.h>

#include "app/MessageIds.h"
#include "app/OneSetup.h"
#include "app/Platform.h"
#include "app/Usage.h"
#include "framework/Strings.h"
#include "install/InstallLog.h"
#include "support/LogEntries.h"
#include "support/MessageBoxes.h"
#include "support/ScratchFolder.h"

namespace {

// What another process sees: the name opened on its own.
bool NameInUse() {
    HANDLE h = OpenMutexW(SYNCHRONIZE, FALSE, kSetupMutexName);
    if (h == nullptr) return false;
    CloseHandle(h);
    return true;
}

TEST(OneSetup, LockIsHeldWhileItLivesAndRefusesASecondHolder) {
    ASSERT_FALSE(NameInUse());
    {
        SetupLock first;
        ASSERT_TRUE(first.Acquire());
        EXPECT_TRUE(NameInUse());
        SetupLock second;
        EXPECT_FALSE(second.Acquire());
        EXPECT_TRUE(NameInUse()) << "a refused second lock must not take the first one's away";
    }
    EXPECT_FALSE(NameInUse());
    SetupLock again;
    EXPECT_TRUE(again.Acquire());
}

// Wine has no private namespaces (CreateBoundaryDescriptorW alone, making nothing): an
// elevated run there, as every run under Wine is, keeps the global mutex.
TEST(OneSetup, WithoutPrivateNamespacesTheGlobalMutexIsTheLock) {
    ASSERT_EQ(QueryPrivilege(), Privilege::Elevated);
    SetupLock lock;
    ASSERT_TRUE(lock.Acquire());
    EXPECT_FALSE(lock.ByNamespace());
    EXPECT_TRUE(NameInUse());
}

TEST(OneSetup, NameTakenByAnotherKindOfObjectCountsAsHeld) {
    HANDLE squatter = CreateSemaphoreW(nullptr, 1, 1, kSetupMutexName);
    ASSERT_NE(squatter, nullptr);
    SetupLock lock;
    EXPECT_FALSE(lock.Acquire());
    CloseHandle(squatter);
    EXPECT_TRUE(lock.Acquire());
}

TEST(OneSetup, SecondSetupIsToldByBoxOrLogEntry) {
    const std::wstring text = fw::CString(IDS_ANOTHER_SETUP).c_str();
    ASSERT_FALSE(text.empty());
    ScratchFolder scratch;
    const std::wstring log = scratch / L"setup.log";
    SetInstallLogPath(log.c_str());
    {
        CapturedBoxes boxes;
        ReportAnotherSetup(false);
        EXPECT_EQ(boxes.Shown(), (std::vector<ShownBox>{{text, L"Zorvalind PlugIns ARM 64-bit Setup",
                                                         MB_OK | MB_ICONWARNING}}));
        EXPECT_FALSE(Exists(log));
        ReportAnotherSetup(true);
        EXPECT_EQ(boxes.Shown().size(), 1u) << "silent: no box";
    }
    SetInstallLogPath(nullptr);
    std::string bytes;
    ASSERT_TRUE(ReadBytes(log, bytes));
    EXPECT_EQ(StripTimes(bytes), ExpectedEntryFor(text));
}

TEST(OneSetup, UsageIsAnInformationBox) {
    CapturedBoxes boxes;
    ShowUsage();
    EXPECT_EQ(boxes.Shown(), (std::vector<ShownBox>{{fw::CString(IDS_USAGE).c_str(),
                                                     L"Zorvalind PlugIns ARM 64-bit Setup",
                                                     MB_OK | MB_ICONINFORMATION}}));
}

} // namespace
