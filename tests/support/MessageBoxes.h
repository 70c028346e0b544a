// Message boxes answered without a window: each call is recorded and answered.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

struct ShownBox {
    std::wstring text, caption;
    UINT type;
    bool operator==(const ShownBox&) const = default;
};

class CapturedBoxes {
public:
    explicit CapturedBoxes(int answer = IDOK);
    ~CapturedBoxes();
    const std::vector<ShownBox>& Shown() const;
};
