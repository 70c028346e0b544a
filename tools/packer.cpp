// Packs a plug-in folder into the release form of the payload archive with minizip:
// deflate level 9, made by and needing version 20 on MS-DOS, no extra fields, no
// comments, DOS attributes, every folder entry before its contents. Entries are
// sorted so the same folder always gives the same bytes.
// Usage: packer <folder> <archive.zip>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "zip.h"
#include "iowin32.h"
#include "payload/Payload.h"

namespace {

constexpr int kVersion = 20;

struct Entry {
    std::string name;     // relative, '/'-separated; folders end in '/'
    std::wstring path;    // on disk
    bool folder;
};

bool ToAscii(const std::wstring& wide, std::string& out) {
    out.clear();
    for (wchar_t c : wide) {
        if (c < 0x20 || c > 0x7E) return false;
        out += static_cast<char>(c);
    }
    return true;
}

bool Collect(const std::wstring& dir, const std::string& prefix, std::vector<Entry>& entries) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return false;
    std::vector<std::pair<std::string, bool>> names;
    std::vector<std::wstring> wideNames;
    do {
        std::wstring wide = data.cFileName;
        if (wide == L"." || wide == L"..") continue;
        std::string ascii;
        if (!ToAscii(wide, ascii)) {
            fwprintf(stderr, L"packer: name is not printable ASCII: %ls\n", wide.c_str());
            FindClose(find);
            return false;
        }
        names.emplace_back(ascii, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::sort(names.begin(), names.end());
    auto pathOf = [&](const std::string& n) { return dir + L"\\" + std::wstring(n.begin(), n.end()); };
    for (const auto& [n, folder] : names)
        if (!folder) entries.push_back({prefix + n, pathOf(n), false});
    for (const auto& [n, folder] : names) {
        if (!folder) continue;
        entries.push_back({prefix + n + "/", pathOf(n), true});
        if (!Collect(pathOf(n), prefix + n + "/", entries)) return false;
    }
    return true;
}

uint32_t DosTimeOf(const std::wstring& path, bool folder) {
    HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, folder ? FILE_FLAG_BACKUP_SEMANTICS : 0, nullptr);
    FILETIME utc{}, local{};
    WORD date = 0, time = 0;
    if (h != INVALID_HANDLE_VALUE) {
        GetFileTime(h, nullptr, nullptr, &utc);
        CloseHandle(h);
    }
    FileTimeToLocalFileTime(&utc, &local);
    FileTimeToDosDateTime(&local, &date, &time);
    return (static_cast<uint32_t>(date) << 16) | time;
}

bool AddEntry(zipFile zip, const Entry& e) {
    std::wstring check(e.name.begin(), e.name.end());
    if (e.name.size() >= 520 || !IsSafeEntryName(check.c_str())) {
        fprintf(stderr, "packer: refusing entry name %s\n", e.name.c_str());
        return false;
    }
    zip_fileinfo info{};
    info.dosDate = DosTimeOf(e.path, e.folder);
    info.external_fa = e.folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    const size_t n = e.name.size();
    info.internal_fa = (!e.folder && n > 4 && _stricmp(e.name.c_str() + n - 4, ".txt") == 0) ? 1 : 0;
    const int method = e.folder ? 0 : Z_DEFLATED;
    if (zipOpenNewFileInZip4_64(zip, e.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, method, 9, 0,
                                -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, kVersion, 0,
                                0) != ZIP_OK)
        return false;
    bool ok = true;
    if (!e.folder) {
        FILE* f = _wfopen(e.path.c_str(), L"rb");
        if (f == nullptr) return false;
        std::vector<char> buffer(1 << 16);
        size_t got;
        while (ok && (got = fread(buffer.data(), 1, buffer.size(), f)) > 0)
            ok = zipWriteInFileInZip(zip, buffer.data(), static_cast<unsigned>(got)) == ZIP_OK;
        ok = ok && !ferror(f);
        fclose(f);
    }
    return zipCloseFileInZip(zip) == ZIP_OK && ok;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        fwprintf(stderr, L"usage: packer <folder> <archive.zip>\n");
        return 2;
    }
    std::wstring root = argv[1];
    while (!root.empty() && (root.back() == L'\\' || root.back() == L'/')) root.pop_back();
    std::vector<Entry> entries;
    if (!Collect(root, "", entries)) {
        fwprintf(stderr, L"packer: cannot read %ls\n", root.c_str());
        return 1;
    }
    zlib_filefunc64_def functions;
    fill_win32_filefunc64W(&functions);
    zipFile zip = zipOpen2_64(argv[2], APPEND_STATUS_CREATE, nullptr, &functions);
    if (zip == nullptr) {
        fwprintf(stderr, L"packer: cannot create %ls\n", argv[2]);
        return 1;
    }
    bool ok = true;
    for (const Entry& e : entries) ok = ok && AddEntry(zip, e);
    ok = (zipClose(zip, nullptr) == ZIP_OK) && ok;
    if (!ok) {
        DeleteFileW(argv[2]);
        fwprintf(stderr, L"packer: failed to write %ls\n", argv[2]);
        return 1;
    }
    return 0;
}
