#include <gtest/gtest.h>

#include "app/TitleFont.h"

namespace {

TEST(TitleFont, HeightFollowsTheScreenAndFaceTheSystem) {
    for (auto [ppi, height] : {std::pair{96, 18}, {120, 23}, {144, 27}, {168, 32}, {192, 36}}) {
        LOGFONTW font;
        BuildTitleLogFont(font, ppi, true);
        EXPECT_EQ(font.lfHeight, height) << ppi;
    }
    LOGFONTW xp, old;
    BuildTitleLogFont(xp, 96, true);
    BuildTitleLogFont(old, 96, false);
    EXPECT_EQ(xp.lfWeight, FW_BOLD);
    EXPECT_STREQ(xp.lfFaceName, L"Arial");
    EXPECT_EQ(old.lfWeight, FW_SEMIBOLD);
    EXPECT_STREQ(old.lfFaceName, L"MS Sans Serif");
    for (const LOGFONTW& f : {xp, old}) {
        EXPECT_EQ(f.lfQuality, ANTIALIASED_QUALITY);
        EXPECT_EQ(f.lfWidth + f.lfEscapement + f.lfOrientation + f.lfItalic + f.lfUnderline + f.lfStrikeOut +
                      f.lfCharSet + f.lfOutPrecision + f.lfClipPrecision + f.lfPitchAndFamily,
                  0);
    }
}

} // namespace
