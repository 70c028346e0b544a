#include "payload/Payload.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "framework/Module.h"
#include "framework/PathList.h"
#include "payload/HeldFolder.h"
#include "payload/InstallReport.h"
#include "payload/Transaction.h"

namespace {

constexpr int kNameChars = 324;

uint16_t Le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const unsigned char* p) { return Le16(p) | (static_cast<uint32_t>(Le16(p + 2)) << 16); }

// The names of the embedded archive's entries, from its central directory, decoded and
// checked as the install does; an entry the install would refuse is none of the pack's.
// visit(name, isFolder) with '\' separators; false when the directory cannot be read.
template <class Visit>
bool ForEachPackEntry(const unsigned char* zip, size_t size, Visit visit) {
    if (size < 22) return false;
    size_t end = size - 22;
    const size_t lowest = size > 22 + 65535 ? size - 22 - 65535 : 0;
    while (Le32(zip + end) != 0x06054b50) {
        if (end == lowest) return false;
        --end;
    }
    const size_t entries = Le16(zip + end + 10), directoryBytes = Le32(zip + end + 12), at0 = Le32(zip + end + 16);
    if (at0 > end || directoryBytes > end - at0) return false;
    size_t at = at0;
    for (size_t i = 0; i < entries; ++i) {
        if (end - at < 46 || Le32(zip + at) != 0x02014b50) return false;
        const unsigned nameBytes = Le16(zip + at + 28), extraBytes = Le16(zip + at + 30), commentBytes = Le16(zip + at + 32);
        if (end - at - 46 < static_cast<size_t>(nameBytes) + extraBytes + commentBytes) return false;
        const char* stored = reinterpret_cast<const char*>(zip + at + 46);
        wchar_t name[kNameChars];
        if (memchr(stored, 0, nameBytes) == nullptr &&
            DecodeEntryName(stored, nameBytes, Le16(zip + at + 8), Le16(zip + at + 4), zip + at + 46 + nameBytes,
                            extraBytes, name, kNameChars) &&
            name[0] != L'\0' && IsSafeEntryName(name)) {
            for (wchar_t* p = name; *p != L'\0'; ++p)
                if (*p == L'/') *p = L'\\';
            const size_t chars = wcslen(name);
            const bool folder = name[chars - 1] == L'\\';
            if (folder) name[chars - 1] = L'\0';
            if (!visit(name, folder)) return false;
        }
        at += 46 + nameBytes + extraBytes + commentBytes;
    }
    return true;
}

} // namespace

int RemovePayload(const wchar_t* pluginsFolder, InstallReport* report, CommitCompanion* companion) {
    HMODULE module = fw::ResourceInstance();
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(kPayloadResourceId), L"ZIP");
    HGLOBAL loaded = resource != nullptr ? LoadResource(module, resource) : nullptr;
    const unsigned char* zip = loaded != nullptr ? static_cast<const unsigned char*>(LockResource(loaded)) : nullptr;
    const DWORD size = resource != nullptr ? SizeofResource(module, resource) : 0;
    if (zip == nullptr || size == 0) {
        if (report != nullptr) report->Fail(InstallStep::Removing, nullptr, GetLastError(), InstallReason::DamagedArchive);
        return -1;
    }
    // No plug-in folder: nothing of the pack can be there.
    if (GetFileAttributesW(pluginsFolder) == INVALID_FILE_ATTRIBUTES &&
        (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND))
        return 0;

    InstallTransaction transaction;
    if (!transaction.Begin(pluginsFolder, report)) return -1;
    if (companion != nullptr && !transaction.AddCompanion(*companion)) return -1;
    fw::PathList folders;  // every folder of the pack, relative
    const auto keepFolder = [&](const wchar_t* path) {
        if (folders.Add(path)) return true;
        if (report != nullptr) report->Fail(InstallStep::Removing, nullptr, ERROR_NOT_ENOUGH_MEMORY);
        return false;
    };
    const bool listed = ForEachPackEntry(zip, size, [&](const wchar_t* name, bool folder) {
        wchar_t path[kLongPathChars];
        const size_t rootChars = wcslen(transaction.Root()), chars = wcslen(name);
        if (rootChars + chars >= kLongPathChars) return true;  // cannot stand there
        wmemcpy(path, transaction.Root(), rootChars);
        wmemcpy(path + rootChars, name, chars + 1);
        wchar_t* slash = wcsrchr(path + rootChars, L'\\');
        if (folder) return keepFolder(path);
        if (slash != nullptr) {
            *slash = L'\0';
            if (!keepFolder(path)) return false;
            // A folder that is not there holds none of the pack's files; it is never made.
            const DWORD attributes = GetFileAttributesW(path);
            if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return true;
            wchar_t relative[kNameChars];
            const size_t folderChars = static_cast<size_t>(slash - (path + rootChars));
            wmemcpy(relative, name, folderChars);
            relative[folderChars] = L'\0';
            if (!transaction.MakeFolder(relative)) return false;
        }
        return transaction.RemoveFile(name);
    });
    if (!listed || !transaction.Commit()) {
        if (report != nullptr && !report->Failed()) report->Fail(InstallStep::Removing, nullptr, 0, InstallReason::DamagedArchive);
        transaction.Rollback();
        return -1;
    }
    if (TransactionProbe != nullptr) TransactionProbe(8, 0);
    // The pack's folders that are left empty, deepest first; a folder that still holds
    // anything stays, and so does the plug-in folder itself.
    for (size_t depth = 64; depth > 0; --depth) {
        for (size_t i = 0; i < folders.Count(); ++i) {
            const wchar_t* folder = folders.At(i);
            size_t levels = 0;
            for (const wchar_t* p = folder + wcslen(transaction.Root()); *p != L'\0'; ++p) levels += *p == L'\\';
            if (levels + 1 != depth) continue;
            RemoveEmptyFolder(folder);
        }
    }
    return 0;
}
