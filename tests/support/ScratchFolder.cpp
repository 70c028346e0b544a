#include "support/ScratchFolder.h"

#include <algorithm>
#include <cstdio>

#include "support/ReadOnly.h"

ScratchFolder::ScratchFolder() : previousDirectory_(CurrentDirectory()) {
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    static unsigned counter = 0;
    for (;;) {
        wchar_t name[MAX_PATH + 64];
        swprintf(name, MAX_PATH + 64, L"%lszvtest-%lu-%u", temp, GetCurrentProcessId(), counter++);
        if (CreateDirectoryW(name, nullptr)) {
            path_ = name;
            return;
        }
    }
}

ScratchFolder::~ScratchFolder() {
    SetCurrentDirectoryW(previousDirectory_.c_str());
    UndoReadOnly(path_);
    RemoveTree(path_);
}

std::wstring ScratchFolder::operator/(const std::wstring& relative) const { return path_ + L"\\" + relative; }

void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring child = path + L"\\" + name;
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(child);
            else
                DeleteFileW(child.c_str());
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(path.c_str());
}

std::wstring CurrentDirectory() {
    wchar_t buffer[1024];
    DWORD n = GetCurrentDirectoryW(1024, buffer);
    return std::wstring(buffer, n < 1024 ? n : 0);
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (f == nullptr) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

bool ReadBytes(const std::wstring& path, std::string& bytes) {
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (f == nullptr) return false;
    bytes.clear();
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
    fclose(f);
    return true;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

namespace {
void Walk(const std::wstring& root, const std::wstring& relative, std::vector<std::wstring>& files,
          std::vector<std::wstring>* folders = nullptr) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((root + L"\\" + relative + L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        std::wstring n = data.cFileName;
        if (n == L"." || n == L"..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (folders != nullptr) folders->push_back(relative + n);
            Walk(root, relative + n + L"\\", files, folders);
        } else {
            files.push_back(relative + n);
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
}
} // namespace

std::vector<std::wstring> ListFiles(const std::wstring& root) {
    std::vector<std::wstring> files;
    Walk(root, L"", files);
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::wstring> ListFolders(const std::wstring& root) {
    std::vector<std::wstring> files, folders;
    Walk(root, L"", files, &folders);
    std::sort(folders.begin(), folders.end());
    return folders;
}

TemporaryFolderOverride::TemporaryFolderOverride(const std::wstring& folder) {
    wchar_t value[MAX_PATH] = {};
    hadTmp_ = GetEnvironmentVariableW(L"TMP", value, MAX_PATH) > 0;
    tmp_ = value;
    value[0] = L'\0';
    hadTemp_ = GetEnvironmentVariableW(L"TEMP", value, MAX_PATH) > 0;
    temp_ = value;
    SetEnvironmentVariableW(L"TMP", folder.c_str());
    SetEnvironmentVariableW(L"TEMP", folder.c_str());
}

TemporaryFolderOverride::~TemporaryFolderOverride() {
    SetEnvironmentVariableW(L"TMP", hadTmp_ ? tmp_.c_str() : nullptr);
    SetEnvironmentVariableW(L"TEMP", hadTemp_ ? temp_.c_str() : nullptr);
}

std::vector<std::wstring> SetupLeftovers(const std::wstring& root) {
    std::vector<std::wstring> ours;
    for (const std::wstring& f : ListFiles(root))
        if (wcsncmp(f.c_str() + f.rfind(L'\\') + 1, L"~zl", 3) == 0) ours.push_back(f);
    return ours;
}

std::map<std::wstring, std::string> TreeContents(const std::wstring& root) {
    std::map<std::wstring, std::string> tree;
    for (const std::wstring& f : ListFiles(root)) ReadBytes(root + L"\\" + f, tree[f]);
    for (const std::wstring& f : ListFolders(root)) tree[f + L"\\"] = "";
    return tree;
}
