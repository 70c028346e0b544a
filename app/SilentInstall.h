#pragma once

// Installs without a window, from "/folder=", the registry or "/app"; every failure it
// finds becomes a log entry. Returns the process exit code.
int RunSilentInstall() noexcept;
