// The Unix side of the machine the tests run on under Wine.
#pragma once
#include <string>

// The host path of a Windows path; empty outside Wine.
std::wstring UnixPath(const std::wstring& path);

// Runs a shell script with its arguments ($0, $1, ...) and waits until it has finished.
// Wine cannot wait for a Unix process, so the script leaves a marker file when done.
void RunShell(const std::wstring& script, const std::wstring& arg0, const std::wstring& arg1 = L"",
              const std::wstring& arg2 = L"");
