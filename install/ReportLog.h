// The detail of a failed install, for the log given with "/log=": which file, which step,
// and the system's or the archive's reason. The default log never gets these entries.
#pragma once

struct InstallReport;

void LogInstallReport(const InstallReport& report) noexcept;
// Folders of the user's that the clean-up after a killed run could not enter and left alone,
// whatever the outcome.
void LogSkippedFolders(const InstallReport& report) noexcept;
