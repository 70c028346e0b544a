// Staging the embedded plug-in archive and unpacking it into the plug-in folder.
// Results: 0 when everything was written, -1 otherwise.
#pragma once

#include <cstdint>
#include "unzip.h"

inline constexpr int kPayloadResourceId = 1973;
inline constexpr wchar_t kStagedArchiveName[] = L"ZL64_plugins.zip";

int ExtractPayload(const wchar_t* targetFolder);
int ExtractArchive(const wchar_t* archivePath, const wchar_t* targetFolder, int skipFlag);
int ExtractEntries(unzFile archive, int withoutPath, const char* password, int skipFlag);
void SetFileDateFromDos(const wchar_t* fileName, uint32_t dosDate);
int MakeDirectoryTree(const wchar_t* path);

// False for a name that could write outside the target folder or onto a device.
bool IsSafeEntryName(const wchar_t* name);
