// Log entries as the tests expect them: the date from the user's locale as asked here,
// and the time, which a test cannot know to the second, checked for its form and masked.
#pragma once
#include <string>

// One entry with the time masked as "HH:MM:SS"; text already in the log's bytes.
std::string ExpectedEntry(const std::string& textWithLineEnd);

// The entry for a text as the program holds it (Latin-1 only; line feeds become CR LF).
std::string ExpectedEntryFor(const std::wstring& text);

// Replaces each entry's time with "HH:MM:SS" after checking it is a valid local time.
std::string StripTimes(const std::string& log);
