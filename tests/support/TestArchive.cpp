#include "support/TestArchive.h"

#include <windows.h>

#include <cstdio>

#include "unzip.h"
#include "zip.h"
#include "iowin32.h"

bool WriteTestArchive(const std::wstring& path, const std::vector<TestEntry>& entries) {
    zlib_filefunc64_def functions;
    fill_win32_filefunc64W(&functions);
    zipFile zip = zipOpen2_64(path.c_str(), APPEND_STATUS_CREATE, nullptr, &functions);
    if (zip == nullptr) return false;
    bool ok = true;
    for (const TestEntry& e : entries) {
        zip_fileinfo info{};
        info.dosDate = e.dosDate;
        info.external_fa = (!e.name.empty() && e.name.back() == '/') ? 0x10 : 0x20;
        ok = ok && zipOpenNewFileInZip4_64(zip, e.name.c_str(), &info, nullptr, 0,
                                           e.centralExtra.empty() ? nullptr : e.centralExtra.data(),
                                           static_cast<uInt>(e.centralExtra.size()), nullptr, e.method,
                                           e.method == 0 ? 0 : (e.zeroBytes > 0 ? 1 : 9), 0, -MAX_WBITS, DEF_MEM_LEVEL,
                                           Z_DEFAULT_STRATEGY, nullptr, 0, e.versionMadeBy, e.flag,
                                           e.zeroBytes >= 0xFFFFFFFFull) == ZIP_OK;
        ok = ok && (e.data.empty() ||
                    zipWriteInFileInZip(zip, e.data.data(), static_cast<unsigned>(e.data.size())) == ZIP_OK);
        if (e.zeroBytes > 0) {
            const std::string zeros(1u << 20, '\0');
            for (uint64_t left = e.zeroBytes; ok && left > 0;) {
                const unsigned n = static_cast<unsigned>(left < zeros.size() ? left : zeros.size());
                ok = zipWriteInFileInZip(zip, zeros.data(), n) == ZIP_OK;
                left -= n;
            }
        }
        ok = ok && zipCloseFileInZip(zip) == ZIP_OK;
    }
    return zipClose(zip, nullptr) == ZIP_OK && ok;
}

bool FindEntry(const std::wstring& path, const std::string& name, EntryOffsets& offsets) {
    zlib_filefunc64_def functions;
    fill_win32_filefunc64W(&functions);
    unzFile unz = unzOpen2_64(path.c_str(), &functions);
    if (unz == nullptr) return false;
    bool ok = unzLocateFile(unz, name.c_str(), 1) == UNZ_OK;
    unz64_file_pos pos{};
    ok = ok && unzGetFilePos64(unz, &pos) == UNZ_OK;
    ok = ok && unzOpenCurrentFile(unz) == UNZ_OK;
    if (ok) {
        offsets.central = pos.pos_in_zip_directory;
        offsets.data = static_cast<uint64_t>(unzGetCurrentFileZStreamPos64(unz));
        offsets.local = offsets.data - 30 - name.size();
        unzCloseCurrentFile(unz);
    }
    unzClose(unz);
    return ok;
}

bool PatchBytes(const std::wstring& path, uint64_t offset, const std::string& bytes) {
    FILE* f = _wfopen(path.c_str(), L"r+b");
    if (f == nullptr) return false;
    bool ok = _fseeki64(f, static_cast<__int64>(offset), SEEK_SET) == 0 &&
              fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

bool PatchEntryHeaders(const std::wstring& path, const std::string& name, unsigned localField,
                       unsigned centralField, const std::string& bytes) {
    EntryOffsets o;
    return FindEntry(path, name, o) && PatchBytes(path, o.local + localField, bytes) &&
           PatchBytes(path, o.central + centralField, bytes);
}

std::string Le16(uint16_t v) { return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }
std::string Le32(uint32_t v) { return Le16(static_cast<uint16_t>(v)) + Le16(static_cast<uint16_t>(v >> 16)); }

std::string Compressible(size_t size, unsigned seed) {
    static const char* const words[] = {"alpha ", "beta ", "gamma ", "delta ", "pixel ", "layer\r\n"};
    std::string s;
    uint32_t x = seed * 2654435761u + 1;
    while (s.size() < size) {
        x ^= x << 13; x ^= x >> 17; x ^= x << 5;
        s += words[x % 6];
    }
    s.resize(size);
    return s;
}

// The local DOS time a file shows, as the extraction's dates are read back by a user.
uint32_t LocalDosTime(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
    FILETIME local;
    WORD date = 0, time = 0;
    FileTimeToLocalFileTime(&data.ftLastWriteTime, &local);
    FileTimeToDosDateTime(&local, &date, &time);
    return (uint32_t{date} << 16) | time;
}

std::vector<std::pair<std::wstring, uint32_t>> ArchivedEntries(const wchar_t* archive) {
    std::vector<std::pair<std::wstring, uint32_t>> entries;
    zlib_filefunc64_def functions;
    fill_win32_filefunc64W(&functions);
    unzFile unz = unzOpen2_64(archive, &functions);
    for (int r = unzGoToFirstFile(unz); unz != nullptr && r == UNZ_OK; r = unzGoToNextFile(unz)) {
        unz_file_info64 info;
        char name[520];
        unzGetCurrentFileInfo64(unz, &info, name, sizeof name, nullptr, 0, nullptr, 0);
        std::wstring wide;
        for (const char* p = name; *p != '\0'; ++p) wide += (*p == '/') ? L'\\' : static_cast<wchar_t>(*p);
        entries.emplace_back(wide, static_cast<uint32_t>(info.dosDate));
    }
    if (unz != nullptr) unzClose(unz);
    return entries;
}

std::map<std::wstring, uint32_t> ArchivedTimes(const wchar_t* archive) {
    std::map<std::wstring, uint32_t> times;
    for (const auto& [name, dos] : ArchivedEntries(archive)) times[name] = dos;
    return times;
}

