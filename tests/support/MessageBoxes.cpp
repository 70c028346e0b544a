#include "support/MessageBoxes.h"

#include "framework/MessageBox.h"

namespace {
std::vector<ShownBox> g_shown;
int g_answer = IDOK;
int WINAPI Record(HWND, LPCWSTR text, LPCWSTR caption, UINT type) {
    g_shown.push_back({text ? text : L"<null>", caption ? caption : L"<null>", type});
    return g_answer;
}
} // namespace

CapturedBoxes::CapturedBoxes(int answer) {
    g_shown.clear();
    g_answer = answer;
    fw::SetMessageBoxFunction(Record);
}
CapturedBoxes::~CapturedBoxes() { fw::SetMessageBoxFunction(nullptr); }
const std::vector<ShownBox>& CapturedBoxes::Shown() const { return g_shown; }
