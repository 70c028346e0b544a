// Log entries as the tests expect them: the date from the user's locale as asked here,
// and the time, which a test cannot know to the second, checked for its form and masked.
#pragma once
#include <string>
#include <vector>

// One entry with the time masked as "HH:MM:SS"; text already in the log's bytes.
std::string ExpectedEntry(const std::string& textWithLineEnd);

// The entry for a text as the program holds it (Latin-1 only; line feeds become CR LF).
std::string ExpectedEntryFor(const std::wstring& text);

// Replaces each entry's time with "HH:MM:SS" after checking it is a valid local time.
std::string StripTimes(const std::string& log);

// The entries of a log whose times are masked, each whole (date line to separator).
std::vector<std::string> SplitEntries(const std::string& strippedLog);
// An entry's text, between the time and the separator, with its line ends as written.
std::string EntryText(const std::string& entry);
// The log without the entries that only a "/log=" file gets: the run's start and end, and
// the detail of a failure.
std::string WithoutDetail(const std::string& strippedLog);
