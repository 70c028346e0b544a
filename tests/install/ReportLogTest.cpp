// The detail of a failed install in the "/log=" file, from reports made by hand: every kind
// the install layers can fill, whether or not they fill it yet.
#include <gtest/gtest.h>

#include <windows.h>

#include "install/InstallLog.h"
#include "install/ReportLog.h"
#include "payload/InstallReport.h"
#include "support/LogEntries.h"
#include "support/ScratchFolder.h"

namespace {

class ReportLog : public ::testing::Test {
protected:
    ScratchFolder scratch;
    std::wstring asked = scratch / L"asked.log";
    void SetUp() override {
        ASSERT_TRUE(SetCurrentDirectoryW(scratch.Path().c_str()));
        SetInstallLogPath(asked.c_str());
    }
    void TearDown() override { SetInstallLogPath(nullptr); }
    std::string Log() {
        std::string b;
        return ReadBytes(asked, b) ? StripTimes(b) : std::string("<no log>");
    }
};

// The system's texts as Wine 8 words them in English.
TEST_F(ReportLog, EachFailureKindNamesStepFileAndCause) {
    struct Case {
        const char* what;
        InstallStep step;
        const wchar_t* file;
        DWORD error;
        InstallReason reason;
        RedirectionTrust trust;
        std::wstring entry;
    };
    const std::wstring on = L"\nLink protection of the process: on";
    const Case cases[] = {
        {"held open", InstallStep::Writing, L"Filters\\blur.8bf", ERROR_SHARING_VIOLATION, InstallReason::None,
         RedirectionTrust::On,
         L"Failed while writing\nFile: Plugins\\Filters\\blur.8bf\nSystem error 32: Sharing violation." + on},
        {"access denied while placing", InstallStep::Placing, L"zl64.dll", ERROR_ACCESS_DENIED, InstallReason::None,
         RedirectionTrust::On, L"Failed while putting in place\nFile: Plugins\\zl64.dll\nSystem error 5: Access denied." + on},
        {"disk full", InstallStep::Writing, L"big.dll", ERROR_DISK_FULL, InstallReason::None, RedirectionTrust::On,
         L"Failed while writing\nFile: Plugins\\big.dll\nSystem error 112: Disk full." + on},
        {"the entry's key", InstallStep::Placing, L"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Zorvalind.PlugIns.ARM64",
         ERROR_ACCESS_DENIED, InstallReason::None, RedirectionTrust::On,
         L"Failed while putting in place\nEntry: HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
         L"Zorvalind.PlugIns.ARM64\nSystem error 5: Access denied." + on},
        {"the setup's copy", InstallStep::Placing, L"C:\\ProgramData\\Zorvalind.PlugIns.ARM64\\ZorvalindPlugInsSetup.exe",
         ERROR_DISK_FULL, InstallReason::None, RedirectionTrust::On,
         L"Failed while putting in place\nFile: C:\\ProgramData\\Zorvalind.PlugIns.ARM64\\ZorvalindPlugInsSetup.exe\n"
         L"System error 112: Disk full." + on},
        {"CRC mismatch", InstallStep::Checking, L"a.dll", 0, InstallReason::CrcMismatch, RedirectionTrust::Unavailable,
         L"Failed while checking\nFile: Plugins\\a.dll\nReason: damaged entry: CRC-32 mismatch\n"
         L"Link protection of the process: not available on this system"},
        {"short stream", InstallStep::Checking, L"b.dll", 0, InstallReason::ShortStream, RedirectionTrust::On,
         L"Failed while checking\nFile: Plugins\\b.dll\nReason: damaged entry: the data ends before its stored size" + on},
        {"refused name", InstallStep::Checking, L"..\\evil.dll", 0, InstallReason::NameLeavesFolder, RedirectionTrust::On,
         L"Failed while checking\nFile: Plugins\\..\\evil.dll\nReason: refused name: it leaves the folder (absolute, "
         L"a drive, \"..\" or an empty part)" + on},
        {"refused link, with the system's code too", InstallStep::Preparing, L"Filters", ERROR_ACCESS_DENIED,
         InstallReason::RefusedLink, RedirectionTrust::On,
         L"Failed while preparing the Plugins folder\nFile: Plugins\\Filters\nReason: refused link: a junction, a "
         L"symbolic link or a folder that is not where it should be\nSystem error 5: Access denied." + on},
        {"staging names the staged archive", InstallStep::Staging, L"C:\\Windows\\SystemTemp\\ZL64_plugins.zip",
         ERROR_DIR_NOT_EMPTY, InstallReason::None, RedirectionTrust::NotTried,
         L"Failed while staging the archive in the temporary folder\nFile: C:\\Windows\\SystemTemp\\ZL64_plugins.zip\n"
         L"System error 145: Directory is not empty.\nLink protection of the process: not tried"},
        {"the whole run, a code without a text", InstallStep::Preparing, nullptr, 0xE0001234u, InstallReason::None,
         RedirectionTrust::On,
         L"Failed while preparing the Plugins folder\nSystem error 3758101044: (no text for this code)" + on},
        // No cause: what failed, and no "System error 0: The operation completed successfully."
        {"a step without a cause", InstallStep::Writing, L"a.dll", 0, InstallReason::None, RedirectionTrust::On,
         L"Failed while writing\nFile: Plugins\\a.dll" + on},
        {"nothing recorded at all", InstallStep::None, nullptr, 0, InstallReason::None, RedirectionTrust::On,
         L"Failed at a step that was not recorded" + on},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        InstallReport report;
        report.Fail(c.step, c.file, c.error, c.reason);
        report.redirectionTrust = c.trust;
        LogInstallReport(report);
        EXPECT_EQ(Log(), ExpectedEntryFor(c.entry));
        DeleteFileW(asked.c_str());
    }
}

TEST_F(ReportLog, EveryFileThatCouldNotBePutBackIsNamed) {
    InstallReport report;
    report.Fail(InstallStep::Placing, L"new.dll", ERROR_SHARING_VIOLATION);
    report.redirectionTrust = RedirectionTrust::On;
    report.FailRollback(L"old.dll", ERROR_ACCESS_DENIED);
    report.FailRollback(L"Filters\\f.8bf", ERROR_SHARING_VIOLATION);
    LogInstallReport(report);
    EXPECT_EQ(Log(), ExpectedEntryFor(L"Failed while putting in place\nFile: Plugins\\new.dll\nSystem error 32: "
                                      L"Sharing violation.\nLink protection of the process: on") +
                         ExpectedEntryFor(L"Could not put back\nFile: Plugins\\old.dll\nSystem error 5: Access denied.") +
                         ExpectedEntryFor(L"Could not put back\nFile: Plugins\\Filters\\f.8bf\nSystem error 32: "
                                          L"Sharing violation."));
    DeleteFileW(asked.c_str());

    // More than the report keeps: the rest are counted.
    InstallReport many;
    many.Fail(InstallStep::Placing, L"x.dll", ERROR_ACCESS_DENIED);
    for (unsigned i = 0; i < InstallReport::kRollbackSlots + 3; ++i) {
        wchar_t name[32];
        swprintf(name, 32, L"f%02u.dll", i);
        many.FailRollback(name, ERROR_ACCESS_DENIED);
    }
    LogInstallReport(many);
    const std::string log = Log();
    const std::string last = ExpectedEntryFor(L"Could not put back\nFile: Plugins\\f15.dll\nSystem error 5: Access denied.") +
                             ExpectedEntryFor(L"Could not put back 3 more files");
    ASSERT_GE(log.size(), last.size());
    EXPECT_EQ(log.substr(log.size() - last.size()), last);
    size_t entries = 0;
    for (size_t at = 0; (at = log.find("Could not put back", at)) != std::string::npos; ++at) ++entries;
    EXPECT_EQ(entries, InstallReport::kRollbackSlots + 1);
}

TEST_F(ReportLog, DefaultLogGetsNoDetail) {
    SetInstallLogPath(nullptr);
    InstallReport report;
    report.Fail(InstallStep::Writing, L"a.dll", ERROR_DISK_FULL);
    LogInstallReport(report);
    EXPECT_FALSE(Exists(scratch / L"Zorvalind_Install.log"));
    EXPECT_TRUE(ListFiles(scratch.Path()).empty());
}

} // namespace
