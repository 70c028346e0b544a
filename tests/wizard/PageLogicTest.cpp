// The page's own rules, without a window.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "wizard/DestinationPage.h"
#include "wizard/FolderText.h"
#include "wizard/FormatText.h"
#include "wizard/WizardSheet.h"

namespace {

TEST(FolderText, TrimAndDrive) {
    const std::wstring c258 = L"C:\\" + std::wstring(254, L'd') + L"\\";  // 258 characters, directory of 256
    const std::wstring c257 = L"C:\\" + std::wstring(253, L'd') + L"\\";
    const std::wstring c259 = L"C:\\" + std::wstring(255, L'd') + L"\\";
    struct Case { std::wstring field; std::wstring trimmed; bool drive; };
    const Case cases[] = {
        {L"  C:\\Data\\  ", L"C:\\Data\\", true},
        {L"     ", L"", false},
        {L"", L"", false},
        {L"\tC:\\Data", L"\tC:\\Data", false},
        {L"\\\\server\\share", L"\\\\server\\share", false},
        {L"Data\\Viewer\\", L"Data\\Viewer\\", false},
        {L"C:", L"C:", true},
        {L"C", L"C", false},
        {L" D:\\Apps\\Viewer", L"D:\\Apps\\Viewer", true},
        {L"C:\\Program Files\\Zorvalind\\ \t ", L"C:\\Program Files\\Zorvalind\\ \t", true},
        {c257, c257, true},
        {c258, c258, false},
        {c259, c259, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.field.begin(), c.field.end()));
        wchar_t buffer[260] = {};
        wcsncpy(buffer, c.field.c_str(), 259);
        TrimFolderText(buffer);
        EXPECT_EQ(std::wstring(buffer), c.trimmed);
        EXPECT_EQ(buffer[0] != L'\0' && HasDrive(buffer), c.drive);
    }
}

TEST(FormatText, StringsInOrder) {
    const wchar_t* args[] = {L"4.76", L"ARM 64", L"ARM 64"};
    wchar_t out[256];
    FormatStrings(L"version  %s (%s bit)  on %s; 100%%", args, 3, out, 256);
    EXPECT_STREQ(out, L"version  4.76 (ARM 64 bit)  on ARM 64; 100%");
    FormatStrings(L"%s and %s", args, 1, out, 256);
    EXPECT_STREQ(out, L"4.76 and ");
    FormatStrings(L"abcdef %s", args, 1, out, 8);
    EXPECT_STREQ(out, L"abcdef ");
}

TEST(Page, FindNeighbourPageSkipsPagesThatAreNotNavigable) {
    CWizPropertySheet sheet;
    CWizPropertyPage first(101), hidden(102), last(103);
    for (CWizPropertyPage* p : {&first, &hidden, &last}) {
        sheet.AddPage(p);
        p->OwnerSheet = &sheet;
    }
    hidden.Navigable = 0;
    EXPECT_EQ(first.FindNeighbourPage(1), 103);
    EXPECT_EQ(first.FindNeighbourPage(0), -1);
    sheet.m_psh.nStartPage = 2;  // as if the last page were current
    EXPECT_EQ(last.FindNeighbourPage(0), 101);
    EXPECT_EQ(last.FindNeighbourPage(1), -1);

    CWizPropertySheet single;
    CWizPropertyPage only(101);
    single.AddPage(&only);
    only.OwnerSheet = &single;
    EXPECT_EQ(only.FindNeighbourPage(1), -1);
    EXPECT_EQ(only.FindNeighbourPage(0), -1);
}

} // namespace
