#include "payload/Payload.h"

#include "framework/Handles.h"

void SetFileDateFromDos(const wchar_t* fileName, uint32_t dosDate) {
    fw::unique_hfile file(CreateFileW(fileName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    if (!fw::Valid(file)) return;
    FILETIME creation, lastAccess, lastWrite;
    GetFileTime(file.get(), &creation, &lastAccess, &lastWrite);
    FILETIME local, utc;
    DosDateTimeToFileTime(static_cast<WORD>(dosDate >> 16), static_cast<WORD>(dosDate & 0xFFFF), &local);
    LocalFileTimeToFileTime(&local, &utc);
    SetFileTime(file.get(), &utc, &lastAccess, &utc);
}
