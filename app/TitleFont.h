#pragma once
#include <windows.h>

// The wizard's title font: 18 points at 96 pixels per inch, scaled to the screen.
void BuildTitleLogFont(LOGFONTW& font, int pixelsPerInch, bool xpOrLater) noexcept;
// The screen's horizontal pixels per inch; 96 when it cannot be asked.
int ScreenPixelsPerInch() noexcept;
