#include "app/TitleFont.h"

#include <cwchar>

void BuildTitleLogFont(LOGFONTW& font, int pixelsPerInch, bool xpOrLater) noexcept {
    font = LOGFONTW{};
    font.lfHeight = MulDiv(18, pixelsPerInch, 96);
    font.lfWeight = FW_SEMIBOLD;
    font.lfQuality = ANTIALIASED_QUALITY;
    if (xpOrLater) {
        font.lfWeight = FW_BOLD;
        wcscpy(font.lfFaceName, L"Arial");
    } else {
        wcscpy(font.lfFaceName, L"MS Sans Serif");
    }
    font.lfPitchAndFamily = DEFAULT_PITCH | FF_DONTCARE;
}

int ScreenPixelsPerInch() noexcept {
    int pixelsPerInch = 96;
    if (HDC screen = GetDC(nullptr)) {
        pixelsPerInch = GetDeviceCaps(screen, LOGPIXELSX);
        ReleaseDC(nullptr, screen);
    }
    return pixelsPerInch;
}
