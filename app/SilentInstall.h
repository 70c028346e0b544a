#pragma once

// Installs without a window, from "/folder=", the registry or "/app"; every failure it
// finds becomes a log entry. Returns the process exit code.
int RunSilentInstall() noexcept;

// Sends the log of this run where "/log=" names it, resolved against the current
// directory now, before anything changes it. A "/log=" value that is empty, too long
// or cannot be resolved loses the entries rather than putting them where nobody asked.
void UseLogSwitch(const wchar_t* commandLine) noexcept;
