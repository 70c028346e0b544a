// The Apps & Features entry's registry layer, the state a killed run's successor acts on, and
// the folder and bytes of the setup's copy.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstring>

#include "install/EntryCompanion.h"
#include "install/EntryKey.h"
#include "install/EntrySnapshot.h"
#include "install/EntryState.h"
#include "install/SetupCopy.h"
#include "support/ManagedState.h"
#include "support/ScratchFolder.h"
#include "support/Unix.h"

namespace {

EntrySnapshot Values(std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> texts) {
    EntrySnapshot s;
    for (const auto& [name, text] : texts) EXPECT_TRUE(s.AddString(name, text));
    return s;
}

bool Same(const EntrySnapshot& a, const EntrySnapshot& b) {
    if (a.Count() != b.Count()) return false;
    wchar_t name[kValueNameChars];
    DWORD type = 0, bytes = 0, otherType = 0, otherBytes = 0;
    const unsigned char *data = nullptr, *other = nullptr;
    for (size_t i = 0; a.At(i, name, type, data, bytes); ++i)
        if (!b.Find(name, otherType, other, otherBytes) || type != otherType || bytes != otherBytes ||
            memcmp(data, other, bytes) != 0)
            return false;
    return true;
}

EntrySnapshot Read(const wchar_t* key, bool& present) {
    EntrySnapshot s;
    EXPECT_TRUE(ReadEntry(EntryHive::Machine, key, s, present));
    return s;
}

TEST(EntrySnapshot, KeepsEveryValueAndRefusesBytesItDidNotWrite) {
    EntrySnapshot s;
    const unsigned char binary[] = {1, 0, 2, 0, 0, 3};
    ASSERT_TRUE(s.AddString(L"DisplayName", L"Zorvalind PlugIns"));
    ASSERT_TRUE(s.AddDword(L"NoModify", 1));
    ASSERT_TRUE(s.Add(L"Blob", REG_BINARY, binary, sizeof binary));
    ASSERT_TRUE(s.Add(L"Empty", REG_SZ, nullptr, 0));
    EntrySnapshot loaded;
    ASSERT_TRUE(loaded.Load(s.Bytes(), s.Size()));
    EXPECT_TRUE(Same(s, loaded));
    wchar_t text[64];
    ASSERT_TRUE(loaded.String(L"displayname", text, 64));
    EXPECT_STREQ(text, L"Zorvalind PlugIns");
    EXPECT_FALSE(loaded.String(L"NoModify", text, 64)) << "a DWORD is no text";
    EXPECT_FALSE(loaded.String(L"DisplayName", text, 5)) << "cut to fit is not the value";

    struct Case { const char* what; size_t at; int change; size_t size; };
    const Case cases[] = {
        {"cut short", 0, 0, s.Size() - 1},   {"a byte more", 0, 0, s.Size() + 1},
        {"one value more", 0, +1, s.Size()}, {"a name of no characters", 2, -17, s.Size()},
        {"data past the end", 2 + 2 + 11 * 2 + 4 + 1, +1, s.Size()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        unsigned char bytes[kSnapshotBytes + 1] = {};
        memcpy(bytes, s.Bytes(), s.Size());
        bytes[c.at] = static_cast<unsigned char>(bytes[c.at] + c.change);
        EntrySnapshot refused;
        EXPECT_FALSE(refused.Load(bytes, c.size));
        EXPECT_EQ(refused.Count(), 0u);
    }
}

class EntryRegistry : public ::testing::Test {
protected:
    ManagedState managed;
};

TEST_F(EntryRegistry, WriteEntryMakesTheKeyHoldExactlyTheValues) {
    const EntrySnapshot first = Values({{L"DisplayName", L"one"}, {L"Publisher", L"Zorvalind"}, {L"Extra", L"x"}});
    const EntrySnapshot second = Values({{L"DisplayName", L"two"}, {L"Publisher", L"Zorvalind"}, {L"New", L"y"}});
    bool present = false;
    ASSERT_TRUE(WriteEntry(EntryHive::Machine, kEntryKeyName, &first));
    EXPECT_TRUE(Same(Read(kEntryKeyName, present), first));
    EXPECT_TRUE(present);
    ASSERT_TRUE(WriteEntry(EntryHive::Machine, kEntryKeyName, &second));
    EXPECT_TRUE(Same(Read(kEntryKeyName, present), second)) << "a value the snapshot does not hold stays";
    for (int i = 0; i < 2; ++i) {  // repeatable, as after a kill
        ASSERT_TRUE(WriteEntry(EntryHive::Machine, kEntryKeyName, nullptr));
        Read(kEntryKeyName, present);
        EXPECT_FALSE(present);
    }
    EXPECT_FALSE(WriteEntry(EntryHive::Machine, L"Some.Other.App", &first)) << "only the setup's keys";
    EXPECT_FALSE(RegistryKeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Some.Other.App"));
}

TEST_F(EntryRegistry, EachPluginsFolderKeepsAKeyOfItsOwn) {
    const wchar_t a[] = L"C:\\Viewer A\\Plugins", b[] = L"D:\\Viewer B\\Plugins";
    wchar_t name[kEntryKeyChars], again[kEntryKeyChars];
    bool exists = true;
    ASSERT_TRUE(FindEntryKey(EntryHive::Machine, a, true, name, exists));
    EXPECT_STREQ(name, kEntryKeyName);
    EXPECT_FALSE(exists);
    const EntrySnapshot atA = Values({{L"InstallLocation", a}}), atB = Values({{L"InstallLocation", b}});
    ASSERT_TRUE(WriteEntry(EntryHive::Machine, name, &atA));
    ASSERT_TRUE(FindEntryKey(EntryHive::Machine, L"c:\\viewer a\\PLUGINS", false, again, exists));
    EXPECT_STREQ(again, kEntryKeyName);
    EXPECT_TRUE(exists);

    ASSERT_TRUE(FindEntryKey(EntryHive::Machine, b, true, name, exists));
    EXPECT_FALSE(exists);
    EXPECT_TRUE(IsEntryKeyName(name));
    EXPECT_STRNE(name, kEntryKeyName) << "the second folder must not take the first one's key";
    ASSERT_TRUE(WriteEntry(EntryHive::Machine, name, &atB));
    ASSERT_TRUE(FindEntryKey(EntryHive::Machine, b, true, again, exists));
    EXPECT_STREQ(again, name);
    EXPECT_TRUE(exists);
    EXPECT_FALSE(FindEntryKey(EntryHive::Machine, L"E:\\Nowhere\\Plugins", false, again, exists)) << "a removal finds none";

    for (const wchar_t* n : {L"Zorvalind.PlugIns.ARM64", L"Zorvalind.PlugIns.ARM64.0A1B2C3D"}) EXPECT_TRUE(IsEntryKeyName(n)) << n;
    for (const wchar_t* n : {L"Zorvalind.PlugIns.ARM64.0a1b2c3d", L"Zorvalind.PlugIns.ARM64.0A1B2C3", L"Zorvalind.PlugIns.ARM64x",
                             L"Zorvalind.PlugIns.ARM64.0A1B2C3D.1", L"Other"})
        EXPECT_FALSE(IsEntryKeyName(n)) << n;
}

EntryState InstallState() {
    EntryState state;
    state.change = EntryChange::Install;
    state.hive = EntryHive::Machine;
    wcscpy(state.key, kEntryKeyName);
    state.hadEntry = true;
    state.previous = Values({{L"DisplayName", L"previous"}, {L"DisplayVersion", L"4.70"}});
    state.next = Values({{L"DisplayName", L"next"}, {L"DisplayVersion", L"4.76"}});
    wcscpy(state.copy, L"C:\\ProgramData\\Zorvalind.PlugIns.ARM64-0000ABCD\\ZorvalindPlugInsSetup.exe");
    return state;
}

TEST(EntryState, KeepsWhatBothDirectionsNeedAndRefusesWhatTheSetupNeverWrites) {
    static unsigned char bytes[kEntryStateBytes];
    size_t size = 0;
    const EntryState state = InstallState();
    ASSERT_TRUE(SaveEntryState(state, bytes, size));
    static EntryState loaded;
    ASSERT_TRUE(LoadEntryState(bytes, size, loaded));
    EXPECT_EQ(loaded.change, EntryChange::Install);
    EXPECT_STREQ(loaded.key, kEntryKeyName);
    EXPECT_STREQ(loaded.copy, state.copy);
    EXPECT_TRUE(loaded.hadEntry);
    EXPECT_TRUE(Same(loaded.previous, state.previous));
    EXPECT_TRUE(Same(loaded.next, state.next));

    struct Case { const char* what; size_t at; unsigned char value; size_t size; };
    const Case cases[] = {{"another magic", 0, 'X', size}, {"an unknown change", 4, 7, size},
                          {"an unknown hive", 5, 9, size}, {"a key that is not the setup's", 10, 'Q', size},
                          {"a byte more", 0, 'Z', size + 1}, {"cut short", 0, 'Z', size - 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        static unsigned char changed[kEntryStateBytes + 1];
        memcpy(changed, bytes, size);
        changed[c.at] = c.value;
        EXPECT_FALSE(LoadEntryState(changed, c.size, loaded));
    }
}

// A journal stands in a folder that a user may write: its state counts only where the pending
// record beside the entry, which only the run's own account can write, holds the same bytes.
TEST_F(EntryRegistry, RecoveryActsOnlyOnWhatThePendingRecordConfirms) {
    static unsigned char bytes[kEntryStateBytes];
    size_t size = 0;
    const EntryState state = InstallState();
    ASSERT_TRUE(SaveEntryState(state, bytes, size));
    auto pending = [&](const unsigned char* data, size_t n) {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPendingKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr,
                                  &key, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(key, kEntryKeyName, 0, REG_BINARY, data, static_cast<DWORD>(n));
        RegCloseKey(key);
    };
    bool present = false;
    // As Apply left it: the new values in place.
    ASSERT_TRUE(WriteEntry(EntryHive::Machine, kEntryKeyName, &state.next));
    {
        SCOPED_TRACE("no pending record: a planted journal");
        EXPECT_TRUE(RecoverEntryCompanion(kEntryCompanionTag, bytes, size, false, false, nullptr));
        EXPECT_TRUE(Same(Read(kEntryKeyName, present), state.next));
    }
    {
        SCOPED_TRACE("a pending record of other bytes");
        static unsigned char other[kEntryStateBytes];
        memcpy(other, bytes, size);
        other[size - 1] ^= 1;
        pending(other, size);
        EXPECT_TRUE(RecoverEntryCompanion(kEntryCompanionTag, bytes, size, false, false, nullptr));
        EXPECT_TRUE(Same(Read(kEntryKeyName, present), state.next));
    }
    pending(bytes, size);
    EXPECT_TRUE(RecoverEntryCompanion(kEntryCompanionTag, bytes, size, false, true, nullptr));
    EXPECT_TRUE(Same(Read(kEntryKeyName, present), state.next)) << "the check changes nothing";
    EXPECT_TRUE(RecoverEntryCompanion(kEntryCompanionTag, bytes, size, false, false, nullptr));
    EXPECT_TRUE(Same(Read(kEntryKeyName, present), state.previous)) << "undone: the previous values back";
    EXPECT_FALSE(RegistryKeyExists(HKEY_LOCAL_MACHINE, kPendingKey)) << "the pending record goes last";
    EXPECT_TRUE(RecoverEntryCompanion(kEntryCompanionTag, bytes, size, false, false, nullptr)) << "repeatable";

    pending(bytes, size);
    EXPECT_TRUE(RecoverEntryCompanion(kEntryCompanionTag, bytes, size, true, false, nullptr));
    EXPECT_TRUE(Same(Read(kEntryKeyName, present), state.next)) << "committed: finished";

    EXPECT_FALSE(RecoverEntryCompanion(L"SomeoneElse", bytes, size, false, false, nullptr));
    EXPECT_FALSE(RecoverEntryCompanion(kEntryCompanionTag, bytes, size - 3, false, false, nullptr));
}

// Wine keeps no access lists, only Unix modes: what it reads back is checked for what matters
// (nobody but the owner and SYSTEM may write); the list handed to the system, in full.
TEST_F(EntryRegistry, CopyFolderIsMadeFreshWithItsAccessListNeverThroughWhatStandsThere) {
    PSECURITY_DESCRIPTOR described = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(kCopyFolderSddl, SDDL_REVISION_1, &described, nullptr));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(described, &control, &revision);
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "nothing inherited from %ProgramData%";
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(described, &present, &dacl, &defaulted) && present && dacl != nullptr);
    struct Expected { WELL_KNOWN_SID_TYPE who; ACCESS_MASK mask; };
    const Expected expected[] = {{WinLocalSystemSid, FILE_ALL_ACCESS}, {WinBuiltinAdministratorsSid, FILE_ALL_ACCESS},
                                 {WinBuiltinUsersSid, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE},
                                 {WinCreatorOwnerRightsSid, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE}};
    ASSERT_EQ(dacl->AceCount, 4);
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        EXPECT_TRUE(IsWellKnownSid(&ace->SidStart, expected[i].who)) << i;
        EXPECT_EQ(ace->Mask, expected[i].mask) << i;
    }
    LocalFree(described);

    ScratchFolder scratch;
    const std::wstring root = CopyRootFor(true), plain = root + L"\\" + kEntryKeyName;
    const std::wstring hashed = L"Zorvalind.PlugIns.ARM64.0000ABCD", elsewhere = scratch / L"elsewhere";
    ASSERT_TRUE(CreateDirectoryW(elsewhere.c_str(), nullptr));
    // What a standard user may leave in %ProgramData%: a folder of their own, a link.
    ASSERT_TRUE(CreateDirectoryW(plain.c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(plain + L"\\planted.txt", "a user's"));
    const bool unix = !UnixPath(root).empty();
    if (unix) RunShell(L"ln -s \"$0\" \"$1\"", UnixPath(elsewhere), UnixPath(root + L"\\" + hashed));
    for (const wchar_t* key : {kEntryKeyName, unix ? hashed.c_str() : nullptr}) {
        if (key == nullptr) continue;
        SCOPED_TRACE(key);
        fw::unique_hfile held;
        wchar_t copy[kCopyPathChars];
        DWORD error = 0;
        ASSERT_TRUE(MakeCopyFolder(EntryHive::Machine, key, held, copy, error)) << error;
        const std::wstring folder = std::wstring(copy).substr(0, std::wstring(copy).rfind(L'\\'));
        EXPECT_EQ(folder.compare(0, root.size() + 1 + wcslen(key) + 1, root + L"\\" + key + L"-"), 0) << folder;
        EXPECT_TRUE(IsCopyPath(EntryHive::Machine, copy));
        EXPECT_TRUE(ListFiles(folder).empty());

        PSECURITY_DESCRIPTOR got = nullptr;
        PACL list = nullptr;
        fw::unique_hfile reading(CreateFileW(folder.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        ASSERT_EQ(GetSecurityInfo(reading.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &list, nullptr, &got),
                  ERROR_SUCCESS);
        const ACCESS_MASK writing = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD | DELETE |
                                    WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
        for (DWORD i = 0; list != nullptr && i < list->AceCount; ++i) {
            ACCESS_ALLOWED_ACE* ace = nullptr;
            ASSERT_TRUE(GetAce(list, i, reinterpret_cast<void**>(&ace)));
            for (WELL_KNOWN_SID_TYPE anybody : {WinWorldSid, WinBuiltinUsersSid, WinAuthenticatedUserSid, WinInteractiveSid})
                EXPECT_FALSE(ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && IsWellKnownSid(&ace->SidStart, anybody) &&
                             (ace->Mask & writing) != 0)
                    << "ACE " << i << " lets every user write";
        }
        LocalFree(got);
        reading.reset();
        held.reset();
        EXPECT_EQ(RemoveCopy(EntryHive::Machine, copy), CopyRemoval::Gone);
        EXPECT_FALSE(Exists(folder));
    }
    std::string planted;
    EXPECT_TRUE(ReadBytes(plain + L"\\planted.txt", planted) && planted == "a user's");
    EXPECT_EQ(ListFiles(plain), std::vector<std::wstring>{L"planted.txt"});
    EXPECT_TRUE(ListFiles(elsewhere).empty()) << "written through the link";
    if (unix) RunShell(L"rm -f \"$0\"", UnixPath(root + L"\\" + hashed));
}

TEST_F(EntryRegistry, CopyIsTheRunningProgramByteForByte) {
    fw::unique_hfile held;
    wchar_t copy[kCopyPathChars];
    DWORD error = 0;
    ASSERT_TRUE(MakeCopyFolder(EntryHive::Machine, kEntryKeyName, held, copy, error)) << error;
    ASSERT_TRUE(WriteCopy(copy, error)) << error;
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::string want, got;
    ASSERT_TRUE(ReadBytes(self, want));
    ASSERT_TRUE(ReadBytes(copy, got));
    EXPECT_TRUE(want == got) << "copy of " << want.size() << " bytes, " << got.size() << " written";
    EXPECT_FALSE(WriteCopy(copy, error)) << "never over a file that stands there";
    held.reset();
    EXPECT_EQ(RemoveCopy(EntryHive::Machine, copy), CopyRemoval::Gone);
    EXPECT_FALSE(Exists(copy));

    const std::wstring root = CopyRootFor(true);
    struct Case { std::wstring path; bool ours; };
    const Case cases[] = {
        {root + L"\\Zorvalind.PlugIns.ARM64\\ZorvalindPlugInsSetup.exe", true},
        {root + L"\\Zorvalind.PlugIns.ARM64.0A1B2C3D-DEADBEEF\\ZorvalindPlugInsSetup.exe", true},
        {root + L"\\Zorvalind.PlugIns.ARM64\\other.exe", false},
        {root + L"\\Zorvalind.PlugIns.ARM64-deadbeef\\ZorvalindPlugInsSetup.exe", false},
        {root + L"\\Other\\ZorvalindPlugInsSetup.exe", false},
        {root + L"\\Zorvalind.PlugIns.ARM64\\sub\\ZorvalindPlugInsSetup.exe", false},
        {L"C:\\Windows\\Zorvalind.PlugIns.ARM64\\ZorvalindPlugInsSetup.exe", false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsCopyPath(EntryHive::Machine, c.path.c_str()), c.ours) << c.path;
    EXPECT_EQ(RemoveCopy(EntryHive::Machine, L"C:\\Windows\\notepad.exe"), CopyRemoval::Left);
}

} // namespace
