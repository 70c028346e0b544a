#include "install/ReportLog.h"

#include "payload/InstallReport.h"

// Entries come with the detailed "/log=" log.
void LogInstallReport(const InstallReport&) noexcept {}
