// The detail of a failed install, for the log given with "/log=": which file, which step,
// and the system's or the archive's reason. The default log never gets these entries.
#pragma once

struct InstallReport;

void LogInstallReport(const InstallReport& report) noexcept;
