// The built executables as files: what they are, what they import, what they carry.
#include <gtest/gtest.h>

#include <windows.h>
#include <imagehlp.h>

#include <algorithm>
#include <set>
#include <vector>
#include <string>

#include "support/ScratchFolder.h"

namespace {

uint32_t U16(const std::string& b, size_t at) { return static_cast<uint8_t>(b[at]) | (static_cast<uint8_t>(b[at + 1]) << 8); }
uint32_t U32(const std::string& b, size_t at) { return U16(b, at) | (U16(b, at + 2) << 16); }

struct Pe {
    uint32_t machine = 0, subsystem = 0;
    std::set<std::string> imports;
    uint32_t loadConfigRva = 0, loadConfigSize = 0;
    std::string loadConfig;  // the bytes the directory points at, when they lie in one stored section
};

bool ReadPe(const std::wstring& path, Pe& pe) {
    std::string b;
    if (!ReadBytes(path, b) || b.size() < 0x400 || b.compare(0, 2, "MZ") != 0) return false;
    const size_t nt = U32(b, 0x3C);
    if (b.compare(nt, 4, std::string("PE\0\0", 4)) != 0) return false;
    pe.machine = U16(b, nt + 4);
    const size_t sections = U16(b, nt + 6), optional = nt + 24, optionalSize = U16(b, nt + 20);
    if (U16(b, optional) != 0x20B) return false;
    pe.subsystem = U16(b, optional + 68);
    const uint32_t importRva = U32(b, optional + 112 + 8);
    // The file offset of [rva, rva + length) when one section stores all of it, else 0.
    auto toOffset = [&](uint32_t rva, uint32_t length = 1) -> size_t {
        for (size_t i = 0; i < sections; ++i) {
            const size_t s = optional + optionalSize + i * 40;
            const uint32_t va = U32(b, s + 12), size = std::min(U32(b, s + 8), U32(b, s + 16)), raw = U32(b, s + 20);
            if (rva >= va && uint64_t{rva} + length <= uint64_t{va} + size) return raw + (rva - va);
        }
        return 0;
    };
    pe.loadConfigRva = U32(b, optional + 112 + 8 * IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG);
    pe.loadConfigSize = U32(b, optional + 112 + 8 * IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG + 4);
    if (const size_t at = toOffset(pe.loadConfigRva, pe.loadConfigSize); pe.loadConfigRva != 0 && at != 0)
        pe.loadConfig = b.substr(at, pe.loadConfigSize);
    for (size_t d = toOffset(importRva); d != 0 && U32(b, d + 12) != 0; d += 20) {
        std::string name = b.c_str() + toOffset(U32(b, d + 12));
        for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        pe.imports.insert(name);
    }
    return true;
}

std::string Resource(HMODULE module, LPCWSTR name, LPCWSTR type) {
    HRSRC r = FindResourceW(module, name, type);
    if (r == nullptr) return {};
    HGLOBAL g = LoadResource(module, r);
    return std::string(static_cast<const char*>(LockResource(g)), SizeofResource(module, r));
}

TEST(Executables, GuiX64ImportingSystemDllsOnly) {
    const std::set<std::string> system = {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll",
                                          "shell32.dll",  "ole32.dll",  "advapi32.dll", "msvcrt.dll"};
    for (const wchar_t* exe : {SETUP_EXE, SETUP_TESTHOST_EXE}) {
        SCOPED_TRACE(exe);
        Pe pe;
        ASSERT_TRUE(ReadPe(exe, pe));
        EXPECT_EQ(pe.machine, 0x8664u);
        EXPECT_EQ(pe.subsystem, 2u);
        EXPECT_FALSE(pe.imports.empty());
        for (const std::string& dll : pe.imports) EXPECT_TRUE(system.count(dll)) << dll;
    }
}

// Windows 10 1607 and later resolve the static imports from System32 only; the patch step after
// linking must also leave a header checksum that matches the file.
TEST(Executables, LoadConfigurationSearchesSystem32ForImports) {
    for (const wchar_t* exe : {SETUP_EXE, SETUP_TESTHOST_EXE}) {
        SCOPED_TRACE(exe);
        Pe pe;
        ASSERT_TRUE(ReadPe(exe, pe));
        ASSERT_NE(pe.loadConfigRva, 0u);
        ASSERT_EQ(pe.loadConfig.size(), pe.loadConfigSize) << "the directory does not lie inside one image section";
        ASSERT_GE(pe.loadConfigSize, 80u) << "too short to hold DependentLoadFlags";
        const std::string& c = pe.loadConfig;
        EXPECT_EQ(U32(c, 0), pe.loadConfigSize) << "the structure's Size field";
        EXPECT_EQ(U16(c, 78), static_cast<uint32_t>(LOAD_LIBRARY_SEARCH_SYSTEM32)) << "DependentLoadFlags";
        // Nothing else claimed: no security cookie, SEH table, guard flags or heap settings.
        for (size_t i = 4; i < c.size(); ++i) {
            if (i == 78 || i == 79) continue;
            EXPECT_EQ(c[i], '\0') << "byte " << i;
        }
        DWORD header = 0, computed = 0;
        ASSERT_EQ(MapFileAndCheckSumW(exe, &header, &computed), static_cast<DWORD>(CHECKSUM_SUCCESS));
        EXPECT_EQ(header, computed);
    }
}

TEST(Executables, CarryManifestAndThePackByteForByte) {
    std::string archive;
    ASSERT_TRUE(ReadBytes(PAYLOAD_ARCHIVE, archive));
    for (const wchar_t* exe : {SETUP_EXE, SETUP_TESTHOST_EXE}) {
        SCOPED_TRACE(exe);
        HMODULE module = LoadLibraryExW(exe, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module, nullptr);
        const std::string zip = Resource(module, MAKEINTRESOURCEW(1973), L"ZIP");
        EXPECT_TRUE(zip == archive) << zip.size() << " bytes embedded, " << archive.size() << " built";
        const std::string manifest = Resource(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
        for (const char* part : {"name=\"Zorvalind\" version=\"1.0.0.0\" processorArchitecture=\"*\" type=\"win32\"",
                                 "level=\"highestAvailable\"", "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
                                 ">True/PM</dpiAware>"})
            EXPECT_NE(manifest.find(part), std::string::npos) << part;
        FreeLibrary(module);
    }
}

std::wstring VersionString(const std::vector<char>& data, const wchar_t* name) {
    wchar_t* value = nullptr;
    UINT chars = 0;
    std::wstring path = std::wstring(L"\\StringFileInfo\\000904B0\\") + name;
    if (!VerQueryValueW(data.data(), path.c_str(), reinterpret_cast<void**>(&value), &chars) || value == nullptr) return {};
    return value;
}

TEST(Executables, VersionResource) {
    for (std::wstring name : {L"ZorvalindPlugInsSetup", L"ZorvalindPlugInsSetup-testhost"}) {
        SCOPED_TRACE(name);
        const std::wstring exe = name == L"ZorvalindPlugInsSetup" ? SETUP_EXE : SETUP_TESTHOST_EXE;
        DWORD ignored = 0, size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
        ASSERT_GT(size, 0u);
        std::vector<char> data(size);
        ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, data.data()));
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
        EXPECT_EQ(fixed->dwFileVersionMS, (4u << 16) | 76u);
        EXPECT_EQ(fixed->dwFileVersionLS, 0u);
        EXPECT_EQ(fixed->dwProductVersionMS, (4u << 16) | 76u);
        EXPECT_EQ(fixed->dwProductVersionLS, 0u);
        EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
        EXPECT_EQ(VersionString(data, L"ProductName"), L"Zorvalind PlugIns ARM 64-bit");
        EXPECT_EQ(VersionString(data, L"FileDescription"), L"Zorvalind PlugIns ARM 64-bit Setup");
        EXPECT_EQ(VersionString(data, L"FileVersion"), L"4.76.0.0");
        EXPECT_EQ(VersionString(data, L"ProductVersion"), L"4.76.0.0");
        EXPECT_EQ(VersionString(data, L"OriginalFilename"), name + L".exe");
        struct { WORD language, codePage; }* translation = nullptr;
        ASSERT_TRUE(VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                                   &length));
        EXPECT_EQ(translation->language, MAKELANGID(LANG_ENGLISH, SUBLANG_NEUTRAL));
        EXPECT_EQ(translation->codePage, 1200);
    }
}

} // namespace
