// Where the viewer lives, as its registry entries say. Read only, under HKLM.
#pragma once

// The folder of the viewer's executable from its open command, ending in a backslash:
// 1; or 0 with an empty destination. destination holds at least 260 characters.
int FindInstallFolderInRegistry(wchar_t* destination) noexcept;

// The viewer's default folder under Program Files, or "C:\Zorvalind\"; always 1.
int GetDefaultInstallFolder(wchar_t* destination) noexcept;
