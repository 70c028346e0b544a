// Read-only files and folders that stay read-only for the tests. Wine maps the
// read-only attribute to Unix permission bits, which root ignores; as root the file
// is made immutable as well, the nearest thing to a Windows read-only file.
#pragma once
#include <string>

bool MakeReadOnly(const std::wstring& path);
void UndoReadOnly(const std::wstring& path);  // the folder and everything below it
