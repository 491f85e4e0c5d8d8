// Internal to the framework library: the text form of the configuration
// store, kept apart from the file handling so that it can be tested on its
// own, and the bounded reading of the store file, which logs nothing (the
// event log reads its own settings with it).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tqfw {

// A store file larger than this is refused: it is never read into memory.
constexpr std::size_t kStoreSizeLimit = 16u << 20;
constexpr const char kStoreSizeLimitText[] = "16 MiB";

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

// Goes through a store text line by line in one pass, without keeping the
// lines: the cost of a lookup grows with the text's size and nothing else.
class StoreScanner {
public:
    explicit StoreScanner(const std::string& text) : m_text(text) {}
    // Fills `line` with the next line, all but its section (see section()
    // and inSection()); false at the end of the text.
    bool next(StoreLine* line);
    // The 1-based number of the line next() gave last.
    std::size_t lineNumber() const { return m_number; }
    // The section of the line next() gave last.
    std::string section() const { return m_text.substr(m_sectionBegin, m_sectionLength); }
    bool inSection(const std::string& section) const {
        return section.size() == m_sectionLength && m_text.compare(m_sectionBegin, m_sectionLength, section) == 0;
    }

private:
    const std::string& m_text;
    std::size_t m_pos = 0;
    std::size_t m_number = 0;
    std::size_t m_sectionBegin = 0;
    std::size_t m_sectionLength = 0;
};

std::vector<StoreLine> ParseStoreText(const std::string& text);

// Finds `key` in `section` (exact, case-sensitive).  A key set more than once
// has its last value, so a later line overrides an earlier one.
bool FindStoreValue(const std::string& text, const std::vector<StoreLine>& lines,
                    const std::string& section, const std::string& key, std::string* value);
// The same in one pass over the text.
bool FindStoreValue(const std::string& text, const std::string& section, const std::string& key,
                    std::string* value);
// Several keys of one section in one pass: (*values)[i] is the value of
// keys[i], and (*found)[i] tells whether there is one.
void FindStoreValues(const std::string& text, const std::string& section, const std::vector<std::string>& keys,
                     std::vector<std::string>* values, std::vector<bool>* found);

// The text with `key` in `section` set to `value`; every other byte stays.
// An existing key is changed in place (its last line); a new key goes after
// the section's last value line (or right after its header when it has none);
// a new section goes at the end of the text.
std::string SetStoreValue(const std::string& text, const std::string& section,
                          const std::string& key, const std::string& value);

// The malformed lines of a text: how many, and the first one.
struct MalformedLines {
    std::size_t count = 0;
    std::size_t firstNumber = 0;  // 1-based line number
    std::string first;            // its bytes, cut to kShownBytes
    std::size_t firstLength = 0;  // its whole length
    static constexpr std::size_t kShownBytes = 200;
};
MalformedLines FindMalformedLines(const std::string& text);

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

// What tells one version of a file from another: a write replaces the inode
// or changes the size or the times.
struct FileIdentity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};
};
bool operator==(const FileIdentity& a, const FileIdentity& b);
inline bool operator!=(const FileIdentity& a, const FileIdentity& b) { return !(a == b); }
FileIdentity IdentityOf(const struct stat& st);
// The identity of the file at `path` now (exists is false when there is none
// or it cannot be examined).
FileIdentity IdentityOfPath(const std::string& path);

// How reading the store file went.
enum class StoreFileRead { Ok, Missing, TooLarge, NotAFile, Failed };
// Reads the store file when it is a regular file of at most `limit` bytes;
// a larger file is not read at all.  *identity describes the file as it was
// read; *error holds errno when Failed and the size when TooLarge.
StoreFileRead ReadStoreFile(const std::string& path, std::size_t limit, std::string* text,
                            FileIdentity* identity, std::uint64_t* error);
// The message for an outcome other than Ok and Missing; it names the file
// (and the limit, for a file that is too large).
std::string StoreFileProblem(const std::string& path, StoreFileRead outcome, std::uint64_t error);

// The name of a temporary file of a write to the store at `path` (a
// mkstemp pattern), and whether `name` (a file name in the store's folder)
// is one.
std::string StoreTemporaryPattern(const std::string& path);
bool IsStoreTemporaryName(const std::string& path, const std::string& name);

// Creates a folder and its missing parents (mode 0755).  True when it exists.
bool MakeFolders(const std::string& folder);

}  // namespace tqfw
