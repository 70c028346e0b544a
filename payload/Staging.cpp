#include "payload/Payload.h"

#include <cstdio>
#include <cwchar>

#include "framework/Handles.h"
#include "framework/Module.h"

namespace {
constexpr DWORD kStagingChars = 520;
}

int ExtractPayload(const wchar_t* targetFolder) {
    wchar_t staging[kStagingChars] = {};
    HMODULE module = fw::ResourceInstance();
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(kPayloadResourceId), L"ZIP");
    if (resource == nullptr) return -1;
    HGLOBAL loaded = LoadResource(module, resource);
    if (loaded == nullptr) return -1;
    const void* archive = LockResource(loaded);
    if (archive == nullptr) return -1;
    const DWORD size = SizeofResource(module, resource);
    if (size == 0) return -1;

    // Without a temporary folder the name would land wherever the current directory is.
    const DWORD tempChars = GetTempPathW(kStagingChars, staging);
    if (tempChars == 0 || tempChars >= kStagingChars) return -1;
    size_t length = wcslen(staging);
    if (staging[length - 1] != L'\\') staging[length++] = L'\\';
    if (length + wcslen(kStagedArchiveName) >= kStagingChars) return -1;
    wcscpy(staging + length, kStagedArchiveName);

    fw::unique_file out(_wfopen(staging, L"wb"));
    if (!out) return -1;
    fw::TempFile staged(staging);
    const bool written = fwrite(archive, size, 1, out.get()) == 1;
    if (fclose(out.release()) != 0 || !written) return -1;

    // The archive is closed again whatever happens inside, so the staged file can go.
    return ExtractArchive(staging, targetFolder, 0);
}
