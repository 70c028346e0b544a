#include "payload/Payload.h"

#include "framework/Handles.h"

bool SetHandleDateFromDos(HANDLE file, uint32_t dosDate) {
    FILETIME local, utc;
    if (!DosDateTimeToFileTime(static_cast<WORD>(dosDate >> 16), static_cast<WORD>(dosDate & 0xFFFF), &local) ||
        !LocalFileTimeToFileTime(&local, &utc))
        return false;
    // The last-access time stays the file's own.
    return SetFileTime(file, &utc, nullptr, &utc) != FALSE;
}

void SetFileDateFromDos(const wchar_t* fileName, uint32_t dosDate) {
    fw::unique_hfile file(CreateFileW(fileName, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (fw::Valid(file)) SetHandleDateFromDos(file.get(), dosDate);
}
