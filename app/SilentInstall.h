#pragma once
#include "app/CommandLine.h"

// Where a silent run's folder came from, for the detailed log.
enum class FolderSource { None, Switch, Registry, App };

struct SilentFolder {
    wchar_t path[kCommandLineChars] = {};
    FolderSource source = FolderSource::None;
    bool unregistered = false;  // looked up in the registry and not found there
    // path at its final place, through the links on the way; empty where path is not
    // absolute or cannot be resolved (then path is used as it is).
    wchar_t resolved[kCommandLineChars] = {};

    const wchar_t* Target() const noexcept { return resolved[0] != L'\0' ? resolved : path; }
};

// The folder from "/folder=", else the registry, and "/app" over both; read once, so that
// the log names the folder the install then uses. An absolute folder is resolved here, once,
// before the process refuses links that non-administrators made. Logs nothing.
void ResolveSilentFolder(const wchar_t* commandLine, SilentFolder& folder) noexcept;

// Installs without a window into folder; every failure it finds becomes a log entry.
// Returns the process exit code.
int RunSilentInstall(const SilentFolder& folder) noexcept;

// Sends the log of this run where "/log=" names it, resolved against the current
// directory now, before anything changes it. A "/log=" value that is empty, too long,
// cut with the command line or cannot be resolved loses the entries rather than putting
// them where nobody asked.
void UseLogSwitch(const wchar_t* commandLine) noexcept;
