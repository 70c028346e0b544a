// The texts as the string table holds them, through both ways of loading.
#include <gtest/gtest.h>

#include <cwchar>

#include "app/MessageIds.h"
#include "framework/Strings.h"

namespace {

struct Text { UINT id; const wchar_t* text; };
const Text kCatalogue[] = {
    {IDS_EXIT, L"Exit"},
    {IDS_EXIT_SETUP, L"Exit setup?"},
    {IDS_INVALID_DESTINATION, L"Invalid destination directory!"},
    {IDS_CANT_INSTALL, L"Can't install all files!\n\nPlease check your destination directory for free space!"},
    {IDS_INSTALL_FOLDER_TITLE, L"Installation folder:"},
    {IDS_INSTALLED, L"Installation successfull!"},
    {IDS_NO_FOLDER, L"Error!\n\n\nCan't find Zorvalind folder!\r\n\r\nPlease install and start Zorvalind!\n "},
    {IDS_NO_FOLDER_SILENT, L"Error!\n\nCan't find Zorvalind folder!\n\nYou have either no registry access permissions or "
                           L"Zorvalind is not installed!\nPlease check your user permissions or install Zorvalind!"},
    {IDS_VIEWER_RUNNING, L"Error: Zorvalind is running!\nPlease close all Zorvalind instances before you install "
                         L"Zorvalind PlugIns!"},
    {IDS_ANOTHER_SETUP, L"Another Zorvalind PlugIns setup is running!\nPlease wait until it has finished, then try again."},
    {IDS_UNINSTALL_QUESTION, L"Remove the Zorvalind plug-ins from %1?"},
    {IDS_UNINSTALLED, L"The Zorvalind plug-ins have been removed."},
    {IDS_CANT_UNINSTALL, L"Can't remove the Zorvalind plug-ins!\n\nNothing was removed. Please close every program "
                         L"that uses them, then try again."},
    {IDS_USAGE, L"Usage: ZorvalindPlugInsSetup.exe [switches]\n\n"
                L"/silent\n\twithout a window\n"
                L"/folder=<folder>\n\tthe viewer's folder, up to the next /\n"
                L"/app\n\tthe default folder under Program Files\n"
                L"/log=<file>\n\tthe log file of a silent run\n"
                L"/uninstall\n\tremove the pack instead of installing it\n"
                L"/?\n\tthis help\n\n"
                L"Exit codes:\n"
                L"0\tinstalled, or removed\n"
                L"1\tnot Windows on ARM64\n"
                L"2\twizard left, or the removal declined\n"
                L"3\tno install folder\n"
                L"4\tinstallation or removal failed\n"
                L"7\tZorvalind is running\n"
                L"1618\tanother setup is running: try again later"},
};

TEST(MessageCatalogue, EveryTextExactlyInBothForms) {
    for (const Text& t : kCatalogue) {
        fw::CString whole(t.id);
        EXPECT_STREQ(whole.c_str(), t.text) << t.id;
        wchar_t fixed[520];
        EXPECT_EQ(fw::LoadStringInto(t.id, fixed, 520), static_cast<int>(wcslen(t.text))) << t.id;
        EXPECT_STREQ(fixed, t.text) << t.id;
    }
}

TEST(MessageCatalogue, FixedBufferCutsAtItsSizeLessOne) {
    wchar_t small[8];
    EXPECT_EQ(fw::LoadStringInto(IDS_VIEWER_RUNNING, small, 8), 7);
    EXPECT_STREQ(small, L"Error: ");
}

TEST(MessageCatalogue, MissingIdIsEmpty) {
    for (UINT id : {0u, 2u, 4u, 6u, 15u, 1000u}) {
        wchar_t fixed[16] = L"untouched";
        EXPECT_EQ(fw::LoadStringInto(id, fixed, 16), 0) << id;
        EXPECT_STREQ(fixed, L"") << id;
        EXPECT_STREQ(fw::CString(id).c_str(), L"") << id;
    }
}

} // namespace
