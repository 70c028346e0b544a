#include "payload/Payload.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <direct.h>

#include "framework/Handles.h"
#include "iowin32.h"
#include "payload/ZipHandle.h"

namespace {

constexpr unsigned kStoredNameBytes = 520;
constexpr int kWideNameChars = 324;
constexpr unsigned kCopyBufferBytes = 32768;
constexpr int kCurrentDirChars = 520;

// What became of one entry.
enum class Outcome { Written, LeftOut, StopLoop };

bool IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

const wchar_t* LastComponent(const wchar_t* name) {
    const wchar_t* last = name;
    for (const wchar_t* p = name; *p != L'\0'; ++p)
        if (IsSeparator(*p)) last = p + 1;
    return last;
}

// The output is written beside its target under a fresh name and only moved over the
// target once it is complete, so a failed entry never leaves a damaged file behind.
class PartFile {
public:
    // folder: the target's folder part including its separator, or empty.
    bool Create(const wchar_t* folder, size_t folderChars) {
        static unsigned counter = 0;
        for (int attempt = 0; attempt < 64; ++attempt) {
            if (folderChars >= kWideNameChars) return false;
            wchar_t name[kWideNameChars + 32];
            wmemcpy(name, folder, folderChars);
            swprintf(name + folderChars, 32, L"~zl%08lx-%08x.part", GetCurrentProcessId(), counter++);
            handle_.reset(CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (fw::Valid(handle_)) {
                path_.Reset(name);
                return true;
            }
            DWORD error = GetLastError();
            if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
        }
        return false;
    }
    bool Write(const void* data, DWORD bytes) {
        DWORD written = 0;
        return WriteFile(handle_.get(), data, bytes, &written, nullptr) && written == bytes;
    }
    bool Close() { return CloseHandle(handle_.release()) != FALSE; }
    const wchar_t* Path() const { return path_.Path(); }
    bool MoveOver(const wchar_t* target) {
        if (!MoveFileExW(path_.Path(), target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return false;
        path_.Release();
        return true;
    }

private:
    fw::unique_hfile handle_;
    fw::TempFile path_;
};

Outcome ExtractFile(unzFile archive, const unz_file_info64& info, const wchar_t* writeName, int withoutPath,
                    const char* password, char* copyBuffer) {
    if (unzOpenCurrentFilePassword(archive, password) != UNZ_OK) {
        unzCloseCurrentFile(archive);
        return Outcome::StopLoop;
    }
    const wchar_t* last = LastComponent(writeName);
    const size_t folderChars = static_cast<size_t>(last - writeName);
    PartFile part;
    if (!part.Create(writeName, folderChars) && withoutPath == 0 && folderChars > 0) {
        wchar_t folder[kWideNameChars];
        wmemcpy(folder, writeName, folderChars - 1);
        folder[folderChars - 1] = L'\0';
        MakeDirectoryTree(folder);
        part.Create(writeName, folderChars);
    }
    if (part.Path()[0] == L'\0') {
        unzCloseCurrentFile(archive);
        return Outcome::LeftOut;
    }

    int status = 0;
    ZPOS64_T total = 0;
    for (;;) {
        int n = unzReadCurrentFile(archive, copyBuffer, kCopyBufferBytes);
        if (n < 0) { status = n; break; }
        if (n == 0) break;
        if (!part.Write(copyBuffer, static_cast<DWORD>(n))) { status = UNZ_ERRNO; break; }
        total += static_cast<ZPOS64_T>(n);
    }
    if (!part.Close() && status == 0) status = UNZ_ERRNO;
    // A deflate stream may end before the stored size; minizip then skips the CRC check.
    if (status == 0 && total != info.uncompressed_size) status = UNZ_BADZIPFILE;
    if (status != 0) {
        unzCloseCurrentFile(archive);
        return Outcome::StopLoop;
    }
    SetFileDateFromDos(part.Path(), static_cast<uint32_t>(info.dosDate));
    if (unzCloseCurrentFile(archive) != UNZ_OK) return Outcome::StopLoop;
    return part.MoveOver(writeName) ? Outcome::Written : Outcome::LeftOut;
}

Outcome ExtractCurrent(unzFile archive, int withoutPath, const char* password, int skipFlag) {
    unz_file_info64 info{};
    char stored[kStoredNameBytes];
    if (unzGetCurrentFileInfo64(archive, &info, stored, kStoredNameBytes, nullptr, 0, nullptr, 0) != UNZ_OK)
        return Outcome::StopLoop;
    // A name that fills the buffer arrives without its terminator; one with a NUL inside hides its tail.
    if (info.size_filename >= kStoredNameBytes || strlen(stored) != info.size_filename) return Outcome::LeftOut;

    if (skipFlag == 1) {
        char lowered[kStoredNameBytes];
        memcpy(lowered, stored, info.size_filename + 1);
        for (char* p = lowered; *p != '\0'; ++p)
            if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
        if (strstr(lowered, "icons.dll") != nullptr) return Outcome::Written;
    }

    const bool encrypted = (info.flag & 1) != 0;
    if (encrypted || (info.compression_method != 0 && info.compression_method != Z_DEFLATED))
        return Outcome::LeftOut;
    wchar_t wide[kWideNameChars];
    if (MultiByteToWideChar(CP_ACP, 0, stored, -1, wide, kWideNameChars) == 0) return Outcome::LeftOut;
    if (!IsSafeEntryName(wide)) return Outcome::LeftOut;

    fw::unique_malloc<char> copyBuffer(static_cast<char*>(malloc(kCopyBufferBytes)));
    if (!copyBuffer) return Outcome::StopLoop;

    const wchar_t* last = LastComponent(wide);
    if (*last == L'\0') {
        if (withoutPath == 0) _wmkdir(wide);
        return Outcome::Written;
    }
    return ExtractFile(archive, info, withoutPath == 0 ? wide : last, withoutPath, password, copyBuffer.get());
}

} // namespace

int ExtractEntries(unzFile archive, int withoutPath, const char* password, int skipFlag) {
    unz_global_info64 global{};
    unzGetGlobalInfo64(archive, &global);
    bool incomplete = false;
    for (ZPOS64_T i = 0; i < global.number_entry; ++i) {
        Outcome outcome = ExtractCurrent(archive, withoutPath, password, skipFlag);
        if (outcome != Outcome::Written) incomplete = true;
        if (outcome == Outcome::StopLoop) break;
        if (i + 1 < global.number_entry && unzGoToNextFile(archive) != UNZ_OK) {
            incomplete = true;
            break;
        }
    }
    return incomplete ? -1 : 0;
}

int ExtractArchive(const wchar_t* archivePath, const wchar_t* targetFolder, int skipFlag) {
    if (archivePath == nullptr) return -1;
    zlib_filefunc64_def functions;
    fill_win32_filefunc64W(&functions);
    unique_unzfile archive(unzOpen2_64(archivePath, &functions));
    if (!archive) return -1;

    wchar_t previous[kCurrentDirChars] = {};
    DWORD previousChars = GetCurrentDirectoryW(kCurrentDirChars, previous);
    if (previousChars == 0 || previousChars >= kCurrentDirChars) previous[0] = L'\0';
    if (_wchdir(targetFolder) != 0) return -1;

    int result = ExtractEntries(archive.get(), 0, nullptr, skipFlag);
    archive.reset();
    if (result != 0) {
        // Whoever reports the failure writes relative to where the run started.
        if (previous[0] != L'\0') SetCurrentDirectoryW(previous);
        return -1;
    }
    return 0;
}
