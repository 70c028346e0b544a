#pragma once

// "/uninstall": removes the pack from the Plugins folder of the viewer's folder, which comes
// as for an install ("/folder=", the registry, "/app"). Silent: no window, entries in the log;
// otherwise it asks first and shows the outcome. Returns the process exit code.
// A silent removal takes found, the folder looked up and resolved at start; with a window it
// looks the folder up itself.
struct SilentFolder;
int RunUninstall(bool silent, const SilentFolder& found) noexcept;
