// Internal to the framework library: the text form of the configuration
// store, kept apart from the file handling so that it can be tested on its
// own, and a quiet reader for the event log (which must not log while it
// reads its own settings).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tqfw {

// One line of a store text.  Offsets index the text; `end` excludes the
// line break.
struct StoreLine {
    enum Kind { Blank, Comment, Section, Value, Malformed };
    Kind kind = Blank;
    std::size_t begin = 0;
    std::size_t end = 0;
    bool hasNewline = false;
    std::string section;     // the section the line belongs to (or names)
    std::size_t equals = 0;  // Value lines: offset of the first '='
};

std::vector<StoreLine> ParseStoreText(const std::string& text);

// Finds `key` in `section` (exact, case-sensitive).  A key set more than once
// has its last value, so a later line overrides an earlier one.
bool FindStoreValue(const std::string& text, const std::vector<StoreLine>& lines,
                    const std::string& section, const std::string& key, std::string* value);

// The text with `key` in `section` set to `value`; every other byte stays.
// An existing key is changed in place (its last line); a new key goes after
// the section's last value line (or right after its header when it has none);
// a new section goes at the end of the text.
std::string SetStoreValue(const std::string& text, const std::string& section,
                          const std::string& key, const std::string& value);

// Whether a section name, key or value can be written without changing the
// meaning of other lines.
bool ValidSectionName(const std::string& section);
bool ValidKey(const std::string& key);
bool ValidValue(const std::string& value);

// Unsigned decimal: digits only, blanks (space, tab) allowed around them.
bool ParseUnsignedDecimal(const std::string& text, std::uint64_t* number);

// The platform instance from TQ_INSTANCE ("Instance001" when unset or not a
// plain file-name part).
bool ValidFocus(const std::string& focus);
// The store file for `focus`: TQ_CONFIG when set, else /etc/tq/<focus>.conf.
std::string StorePathFor(const std::string& focus);

// Reads a whole file.  A missing file gives true and an empty text with
// *missing set; any other failure gives false.
bool ReadWholeFile(const std::string& path, std::string* text, bool* missing);

// Creates a folder and its missing parents (mode 0755).  True when it exists.
bool MakeFolders(const std::string& folder);

// Reads one value of the current instance's store without logging anything.
bool ReadStoreValueQuietly(const std::string& section, const std::string& key, std::string* value);

}  // namespace tqfw
