#include "support/LogEntries.h"

#include <windows.h>

namespace {
std::string Today() {
    wchar_t date[256] = {};
    GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, nullptr, nullptr, date, 256);
    std::string bytes;
    for (const wchar_t* p = date; *p; ++p) bytes += *p <= 0xFF ? static_cast<char>(*p) : '?';
    return bytes;
}
const std::string kRule = std::string(48, '-') + "\r\n";
} // namespace

std::string ExpectedEntry(const std::string& textWithLineEnd) {
    return Today() + " - HH:MM:SS: " + textWithLineEnd + kRule;
}

std::string ExpectedEntryFor(const std::wstring& text) {
    std::string bytes;
    for (wchar_t c : text) {
        if (c == L'\n') bytes += '\r';
        bytes += static_cast<char>(c);
    }
    return ExpectedEntry(bytes + "\r\n");
}

std::string StripTimes(const std::string& log) {
    std::string out = log;
    const std::string prefix = Today() + " - ";
    for (size_t at = 0; (at = out.find(prefix, at)) != std::string::npos; at += prefix.size()) {
        if (at != 0 && (at < kRule.size() || out.compare(at - kRule.size(), kRule.size(), kRule) != 0)) continue;
        const size_t t = at + prefix.size();
        if (t + 8 > out.size()) break;
        const std::string time = out.substr(t, 8);
        const bool valid = time[2] == ':' && time[5] == ':' && std::isdigit(time[0]) && std::isdigit(time[1]) &&
                           std::isdigit(time[3]) && std::isdigit(time[4]) && std::isdigit(time[6]) &&
                           std::isdigit(time[7]) && std::stoi(time.substr(0, 2)) < 24 &&
                           std::stoi(time.substr(3, 2)) < 60 && std::stoi(time.substr(6, 2)) < 60;
        if (valid) out.replace(t, 8, "HH:MM:SS");
    }
    return out;
}

std::vector<std::string> SplitEntries(const std::string& log) {
    std::vector<std::string> entries;
    size_t begin = 0;
    for (size_t at; (at = log.find(kRule, begin)) != std::string::npos; begin = at + kRule.size())
        entries.push_back(log.substr(begin, at + kRule.size() - begin));
    if (begin < log.size()) entries.push_back(log.substr(begin));  // an unterminated tail, kept to be seen
    return entries;
}

std::string EntryText(const std::string& entry) {
    const std::string head = Today() + " - HH:MM:SS: ";
    if (entry.compare(0, head.size(), head) != 0 || entry.size() < head.size() + kRule.size() + 2) return entry;
    return entry.substr(head.size(), entry.size() - head.size() - kRule.size() - 2);
}

std::string WithoutDetail(const std::string& log) {
    std::string kept;
    for (const std::string& e : SplitEntries(log)) {
        const std::string text = EntryText(e);
        bool detail = false;
        for (const char* prefix : {"Zorvalind PlugIns ARM 64-bit Setup ", "Finished: ", "Failed while ", "Could not put back"})
            detail = detail || text.rfind(prefix, 0) == 0;
        if (!detail) kept += e;
    }
    return kept;
}
