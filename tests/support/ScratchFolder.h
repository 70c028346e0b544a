// A fresh folder under the temporary folder, removed with everything in it (read-only
// files included) when the test ends; the current directory is put back as well.
#pragma once
#include <windows.h>

#include <map>
#include <string>
#include <vector>

class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::wstring& Path() const { return path_; }           // no trailing backslash
    std::wstring operator/(const std::wstring& relative) const;   // path_ + '\' + relative

private:
    std::wstring path_;
    std::wstring previousDirectory_;
};

// TMP and TEMP of this process (and so of the programs it starts) point at folder until the
// object goes; then they are as they were.
class TemporaryFolderOverride {
public:
    explicit TemporaryFolderOverride(const std::wstring& folder);
    ~TemporaryFolderOverride();
    TemporaryFolderOverride(const TemporaryFolderOverride&) = delete;
    TemporaryFolderOverride& operator=(const TemporaryFolderOverride&) = delete;

private:
    std::wstring tmp_, temp_;
    bool hadTmp_ = false, hadTemp_ = false;
};

// The files below root that the setup names as its own ("~zl..."), relative to root.
std::vector<std::wstring> SetupLeftovers(const std::wstring& root);

void RemoveTree(const std::wstring& path);
std::wstring CurrentDirectory();
bool WriteBytes(const std::wstring& path, const std::string& bytes);
bool ReadBytes(const std::wstring& path, std::string& bytes);
bool Exists(const std::wstring& path);
// Every file below root, as sorted paths relative to it.
std::vector<std::wstring> ListFiles(const std::wstring& root);
std::vector<std::wstring> ListFolders(const std::wstring& root);
// Every file below root with its bytes, and every folder (with a trailing backslash, no bytes).
std::map<std::wstring, std::string> TreeContents(const std::wstring& root);
