// The /? box as people see it, at 96 and 144 dpi: no line of the text wraps, and every
// description starts in one column. Its pictures are saved in the build folder.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/MessageIds.h"
#include "e2e/SetupProcess.h"
#include "framework/Handles.h"
#include "framework/Strings.h"
#include "support/ScratchFolder.h"
#include "support/Unix.h"

namespace {

// HKCU\Control Panel\Desktop LogPixels, which Wine reads when a process starts; the test
// prefix is shared by every test, so the value is put back as it was (or removed again).
class ScreenDpi {
public:
    explicit ScreenDpi(DWORD dpi) {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                            nullptr, &key, nullptr) != ERROR_SUCCESS)
            return;
        key_.reset(key);
        DWORD bytes = 0;
        had_ = RegQueryValueExW(key, L"LogPixels", nullptr, &type_, nullptr, &bytes) == ERROR_SUCCESS;
        old_.resize(bytes);
        if (had_ && bytes > 0)
            had_ = RegQueryValueExW(key, L"LogPixels", nullptr, &type_, old_.data(), &bytes) == ERROR_SUCCESS;
        set_ = RegSetValueExW(key, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi), sizeof dpi) ==
               ERROR_SUCCESS;
    }
    ~ScreenDpi() {
        if (!key_) return;
        if (had_)
            RegSetValueExW(key_.get(), L"LogPixels", 0, type_, old_.data(), static_cast<DWORD>(old_.size()));
        else
            RegDeleteValueW(key_.get(), L"LogPixels");
    }
    ScreenDpi(const ScreenDpi&) = delete;
    ScreenDpi& operator=(const ScreenDpi&) = delete;
    bool Set() const { return set_; }

private:
    fw::unique_hkey key_;
    bool had_ = false, set_ = false;
    DWORD type_ = REG_DWORD;
    std::vector<BYTE> old_;
};

// A grey picture of a screen rectangle (binary PGM, as ImageMagick writes it).
struct Picture {
    int width = 0, height = 0;
    std::string pixels;
    bool Dark(int x, int y) const { return static_cast<unsigned char>(pixels[size_t(y) * width + x]) < 128; }
};

bool ReadPgm(const std::wstring& path, Picture& p) {
    std::string bytes;
    if (!ReadBytes(path, bytes)) return false;
    int maxValue = 0, used = 0;
    if (sscanf(bytes.c_str(), "P5 %d %d %d%n", &p.width, &p.height, &maxValue, &used) != 3 || maxValue != 255) return false;
    const size_t size = size_t(p.width) * p.height;
    if (bytes.size() < used + 1 + size) return false;
    p.pixels = bytes.substr(used + 1, size);
    return true;
}

std::wstring Geometry(const RECT& r) {
    wchar_t g[64];
    swprintf(g, 64, L"%ldx%ld+%ld+%ld", r.right - r.left, r.bottom - r.top, r.left, r.top);
    return g;
}

// A line of text as drawn: the rows it covers and where its pieces start. Pieces are parted by
// a gap wider than the line is high: a tab's gap, never a blank between words.
struct DrawnLine {
    int top = 0, bottom = 0;
    std::vector<int> pieces;
};

std::vector<DrawnLine> DrawnLines(const Picture& p) {
    std::vector<DrawnLine> lines;
    for (int y = 0; y < p.height; ++y) {
        bool ink = false;
        for (int x = 0; x < p.width && !ink; ++x) ink = p.Dark(x, y);
        if (ink && (lines.empty() || lines.back().bottom != y)) lines.push_back({y, y + 1, {}});
        else if (ink) lines.back().bottom = y + 1;
    }
    for (DrawnLine& line : lines) {
        const int gap = line.bottom - line.top;
        int blank = gap;  // the margin counts as a gap
        for (int x = 0; x < p.width; ++x) {
            bool ink = false;
            for (int y = line.top; y < line.bottom && !ink; ++y) ink = p.Dark(x, y);
            if (ink && blank >= gap) line.pieces.push_back(x);
            blank = ink ? 0 : blank + 1;
        }
    }
    return lines;
}

std::vector<std::wstring> TextLines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    size_t from = 0;
    for (size_t at; (at = text.find(L'\n', from)) != std::wstring::npos; from = at + 1) lines.push_back(text.substr(from, at - from));
    lines.push_back(text.substr(from));
    return lines;
}

TEST(Usage, BoxReadsCleanlyAt96And144Dpi) {
    const std::wstring usage = fw::CString(IDS_USAGE).c_str();
    std::vector<std::wstring> written;  // the lines that draw ink, and which of them start with a description
    std::vector<bool> description;
    for (const std::wstring& line : TextLines(usage)) {
        if (line.find_first_not_of(L" \t") == std::wstring::npos) continue;
        written.push_back(line);
        description.push_back(line[0] == L'\t' || line.find(L'\t') != std::wstring::npos);
    }
    ScratchFolder scratch;
    struct Case { DWORD dpi; const wchar_t* picture; };
    const Case cases[] = {{96, USAGE_SCREENSHOT_96}, {144, USAGE_SCREENSHOT_144}};
    int lineHeight[2] = {};
    for (int i = 0; i < 2; ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.dpi);
        ScreenDpi dpi(c.dpi);
        ASSERT_TRUE(dpi.Set());
        DWORD processId = 0;
        HANDLE process = StartSetup(SETUP_TESTHOST_EXE, L"\"" SETUP_TESTHOST_EXE L"\" /?", scratch.Path(), true, &processId);
        ASSERT_NE(process, nullptr);
        fw::unique_hfile owned(process);
        HWND box = nullptr;
        for (int wait = 0; wait < 600 && box == nullptr; ++wait) {
            box = FindMessageBox(processId, nullptr);
            if (box == nullptr) Sleep(50);
        }
        ASSERT_NE(box, nullptr) << "no box";
        const Box read = ReadBox(box);
        EXPECT_EQ(read.text, usage);

        RECT whole, text;
        GetWindowRect(box, &whole);
        GetWindowRect(GetDlgItem(box, 0xFFFF), &text);
        DeleteFileW(c.picture);
        RunShell(L"import -window root -crop $0 +repage \\\"$1\\\"", Geometry(whole), UnixPath(c.picture));
        EXPECT_TRUE(Exists(c.picture));
        const std::wstring grey = scratch / L"text.pgm";
        RunShell(L"import -window root -crop $0 -colorspace Gray -depth 8 \\\"pgm:$1\\\"", Geometry(text), UnixPath(grey));
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        EXPECT_EQ(WaitForSingleObject(process, 30000), WAIT_OBJECT_0);

        Picture picture;
        ASSERT_TRUE(ReadPgm(grey, picture));
        const std::vector<DrawnLine> drawn = DrawnLines(picture);
        // A line that wrapped draws one more line than the text has.
        ASSERT_EQ(drawn.size(), written.size()) << "lines drawn against lines written";
        int column = -1;
        for (size_t n = 0; n < drawn.size(); ++n) {
            SCOPED_TRACE(testing::Message() << "line " << n);
            if (!description[n]) continue;
            // "\tdescription" or "code\tdescription": the description is the line's last piece.
            ASSERT_FALSE(drawn[n].pieces.empty());
            const int at = drawn[n].pieces.back();
            if (written[n][0] != L'\t') {
                EXPECT_EQ(drawn[n].pieces.size(), 2u);
            }
            if (column < 0) column = at;
            EXPECT_LE(std::abs(at - column), 1) << "a description out of its column";
        }
        lineHeight[i] = drawn[0].bottom - drawn[0].top;
    }
    // The second picture is the larger one: 144 dpi took effect.
    EXPECT_GE(lineHeight[1] * 10, lineHeight[0] * 13);
}

} // namespace
