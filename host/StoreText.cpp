#include "host/StoreText.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "host/TQPlatformInfo.h"
#include "host/UniqueFd.h"

namespace tqfw {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// A value line that sets `key`, whatever its section.
bool SetsKey(const std::string& text, const StoreLine& line, const std::string& key) {
    return line.kind == StoreLine::Value && line.equals - line.begin == key.size() &&
           text.compare(line.begin, key.size(), key) == 0;
}

bool SameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

std::string ErrnoText(int error) {
    char buffer[256];
    return strerror_r(error, buffer, sizeof(buffer));
}

const char kTemporaryInfix[] = ".tmp-";
const std::size_t kTemporaryRandomBytes = 6;

}  // namespace

// ---- the text -------------------------------------------------------------

bool StoreScanner::next(StoreLine* line) {
    const std::size_t size = m_text.size();
    if (m_pos >= size) return false;
    const char* data = m_text.data();
    line->begin = m_pos;
    const void* newline = std::memchr(data + m_pos, '\n', size - m_pos);
    line->hasNewline = newline != nullptr;
    line->end = line->hasNewline ? static_cast<std::size_t>(static_cast<const char*>(newline) - data) : size;
    m_pos = line->hasNewline ? line->end + 1 : size;
    ++m_number;

    std::size_t first = line->begin;
    while (first < line->end && IsBlank(data[first])) ++first;
    std::size_t last = line->end;
    while (last > first && IsBlank(data[last - 1])) --last;

    line->equals = 0;
    if (first == line->end) {
        line->kind = StoreLine::Blank;
    } else if (data[line->begin] == '#') {
        line->kind = StoreLine::Comment;
    } else if (data[first] == '[' && last - first >= 2 && data[last - 1] == ']') {
        line->kind = StoreLine::Section;
        m_sectionBegin = first + 1;
        m_sectionLength = last - first - 2;
    } else {
        const void* equals = std::memchr(data + line->begin, '=', line->end - line->begin);
        const std::size_t at = equals ? static_cast<std::size_t>(static_cast<const char*>(equals) - data) : 0;
        if (equals != nullptr && at > line->begin) {
            line->kind = StoreLine::Value;
            line->equals = at;
        } else {
            line->kind = StoreLine::Malformed;
        }
    }
    return true;
}

std::vector<StoreLine> ParseStoreText(const std::string& text) {
    std::vector<StoreLine> lines;
    StoreScanner scanner(text);
    StoreLine line;
    while (scanner.next(&line)) {
        line.section = scanner.section();
        lines.push_back(line);
    }
    return lines;
}

bool FindStoreValue(const std::string& text, const std::vector<StoreLine>& lines,
                    const std::string& section, const std::string& key, std::string* value) {
    const StoreLine* found = nullptr;
    for (const StoreLine& line : lines) {
        if (SetsKey(text, line, key) && line.section == section) found = &line;
    }
    if (found == nullptr) return false;
    if (value) value->assign(text, found->equals + 1, found->end - found->equals - 1);
    return true;
}

bool FindStoreValue(const std::string& text, const std::string& section, const std::string& key,
                    std::string* value) {
    StoreScanner scanner(text);
    StoreLine line;
    bool found = false;
    std::size_t equals = 0, end = 0;
    while (scanner.next(&line)) {
        if (!SetsKey(text, line, key) || !scanner.inSection(section)) continue;
        found = true;
        equals = line.equals;
        end = line.end;
    }
    if (found && value) value->assign(text, equals + 1, end - equals - 1);
    return found;
}

void FindStoreValues(const std::string& text, const std::string& section, const std::vector<std::string>& keys,
                     std::vector<std::string>* values, std::vector<bool>* found) {
    values->assign(keys.size(), std::string());
    found->assign(keys.size(), false);
    std::vector<std::size_t> equals(keys.size()), ends(keys.size());
    StoreScanner scanner(text);
    StoreLine line;
    while (scanner.next(&line)) {
        if (line.kind != StoreLine::Value) continue;
        for (std::size_t index = 0; index < keys.size(); ++index) {
            if (!SetsKey(text, line, keys[index]) || !scanner.inSection(section)) continue;
            (*found)[index] = true;
            equals[index] = line.equals;
            ends[index] = line.end;
        }
    }
    for (std::size_t index = 0; index < keys.size(); ++index) {
        if ((*found)[index]) (*values)[index].assign(text, equals[index] + 1, ends[index] - equals[index] - 1);
    }
}

std::string SetStoreValue(const std::string& text, const std::string& section,
                          const std::string& key, const std::string& value) {
    // One pass: the key's last line, and where a new key would go (after
    // the section's last value line, else after its last header).
    StoreScanner scanner(text);
    StoreLine line;
    bool found = false, anchored = false, anchorIsValue = false, anchorHasNewline = false;
    std::size_t equals = 0, end = 0, anchorEnd = 0;
    while (scanner.next(&line)) {
        if ((line.kind != StoreLine::Value && line.kind != StoreLine::Section) || !scanner.inSection(section)) {
            continue;
        }
        if (SetsKey(text, line, key)) {
            found = true;
            equals = line.equals;
            end = line.end;
        }
        if (line.kind == StoreLine::Value || (line.kind == StoreLine::Section && !anchorIsValue)) {
            anchored = true;
            anchorIsValue = line.kind == StoreLine::Value;
            anchorEnd = line.end;
            anchorHasNewline = line.hasNewline;
        }
    }
    std::string result = text;
    // An existing key: replace the bytes after its '='.
    if (found) return result.replace(equals + 1, end - equals - 1, value);

    const std::string entry = key + "=" + value;
    if (anchored) {
        return anchorHasNewline ? result.insert(anchorEnd + 1, entry + "\n") : result.insert(anchorEnd, "\n" + entry);
    }
    // Keys before the first header form the nameless section.
    if (section.empty()) return entry + "\n" + text;
    // A new section at the end.
    if (!result.empty() && result.back() != '\n') result += '\n';
    result += "[" + section + "]\n" + entry + "\n";
    return result;
}

MalformedLines FindMalformedLines(const std::string& text) {
    MalformedLines found;
    StoreScanner scanner(text);
    StoreLine line;
    while (scanner.next(&line)) {
        if (line.kind != StoreLine::Malformed) continue;
        if (found.count++ > 0) continue;
        found.firstNumber = scanner.lineNumber();
        found.firstLength = line.end - line.begin;
        found.first = text.substr(line.begin, std::min(found.firstLength, MalformedLines::kShownBytes));
    }
    return found;
}

bool ValidSectionName(const std::string& section) {
    // Empty names the keys before the first header.
    return section.find_first_of("[]\n\r") == std::string::npos;
}

bool ValidKey(const std::string& key) {
    if (key.empty() || key[0] == '#' || key.find_first_of("=\n\r") != std::string::npos) {
        return false;
    }
    // A key that reads as a header or as a blank line would change meaning.
    std::size_t first = key.find_first_not_of(" \t");
    return first != std::string::npos && key[first] != '[';
}

bool ValidValue(const std::string& value) { return value.find_first_of("\n\r") == std::string::npos; }

bool ParseUnsignedDecimal(const std::string& text, std::uint64_t* number) {
    std::size_t first = 0;
    while (first < text.size() && IsBlank(text[first])) ++first;
    std::size_t last = text.size();
    while (last > first && IsBlank(text[last - 1])) --last;
    if (first == last) return false;
    std::uint64_t result = 0;
    for (std::size_t i = first; i < last; ++i) {
        char c = text[i];
        if (c < '0' || c > '9') return false;
        std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (result > (UINT64_MAX - digit) / 10) return false;  // overflow
        result = result * 10 + digit;
    }
    if (number) *number = result;
    return true;
}

// ---- the file -------------------------------------------------------------

bool ValidFocus(const std::string& focus) {
    return !focus.empty() && focus != "." && focus != ".." &&
           focus.find_first_of("/\n\r") == std::string::npos;
}

std::string StorePathFor(const std::string& focus) {
    const char* config = getenv("TQ_CONFIG");
    if (config && *config) return config;
    return "/etc/tq/" + (ValidFocus(focus) ? focus : TQPI_Focus::getFocus()) + ".conf";
}

bool ReadWholeFile(const std::string& path, std::string* text, bool* missing) {
    text->clear();
    if (missing) *missing = false;
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.open()) {
        if (errno == ENOENT) {
            if (missing) *missing = true;
            return true;
        }
        return false;
    }
    char chunk[8192];
    bool ok = true;
    for (;;) {
        ssize_t n = read(fd.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0) break;
        text->append(chunk, static_cast<std::size_t>(n));
    }
    return ok;
}

bool operator==(const FileIdentity& a, const FileIdentity& b) {
    if (a.exists != b.exists) return false;
    if (!a.exists) return true;
    return a.device == b.device && a.inode == b.inode && a.size == b.size && SameTime(a.modified, b.modified) &&
           SameTime(a.changed, b.changed);
}

FileIdentity IdentityOf(const struct stat& st) {
    FileIdentity identity;
    identity.exists = true;
    identity.device = st.st_dev;
    identity.inode = st.st_ino;
    identity.size = st.st_size;
    identity.modified = st.st_mtim;
    identity.changed = st.st_ctim;
    return identity;
}

FileIdentity IdentityOfPath(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return FileIdentity();
    return IdentityOf(st);
}

StoreFileRead ReadStoreFile(const std::string& path, std::size_t limit, std::string* text,
                            FileIdentity* identity, std::uint64_t* error) {
    text->clear();
    *identity = FileIdentity();
    *error = 0;
    // Non-blocking, so that a FIFO put in the store's place cannot hold the
    // reader up; a regular file reads the same either way.
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.open()) {
        if (errno == ENOENT) return StoreFileRead::Missing;
        *error = static_cast<std::uint64_t>(errno);
        return StoreFileRead::Failed;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) {
        *error = static_cast<std::uint64_t>(errno);
        return StoreFileRead::Failed;
    }
    *identity = IdentityOf(st);
    if (!S_ISREG(st.st_mode)) {
        *error = st.st_mode;
        return StoreFileRead::NotAFile;
    }
    if (static_cast<std::uint64_t>(st.st_size) > limit) {
        *error = static_cast<std::uint64_t>(st.st_size);
        return StoreFileRead::TooLarge;
    }
    text->resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    for (;;) {
        // One byte more than the limit tells a file that grew past it.
        if (done == text->size()) text->resize(std::min(limit + 1, done + 65536));
        const ssize_t count = read(fd.get(), &(*text)[done], text->size() - done);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) {
            *error = static_cast<std::uint64_t>(errno);
            text->clear();
            return StoreFileRead::Failed;
        }
        if (count == 0) break;
        done += static_cast<std::size_t>(count);
        if (done > limit) {
            *error = done;
            text->clear();
            return StoreFileRead::TooLarge;
        }
    }
    text->resize(done);
    return StoreFileRead::Ok;
}

std::string StoreFileProblem(const std::string& path, StoreFileRead outcome, std::uint64_t error) {
    const std::string store = "the configuration store " + path;
    switch (outcome) {
        case StoreFileRead::TooLarge:
            return store + " holds " + std::to_string(error) + " bytes, more than its limit of " +
                   kStoreSizeLimitText + " (" + std::to_string(kStoreSizeLimit) +
                   " bytes), and is not read; shorten it";
        case StoreFileRead::NotAFile:
            return store + (S_ISDIR(static_cast<mode_t>(error)) ? " is a folder" : " is not a regular file") +
                   "; it must be a text file (or missing)";
        case StoreFileRead::Failed:
            return "cannot read " + store + ": " + ErrnoText(static_cast<int>(error));
        case StoreFileRead::Ok:
        case StoreFileRead::Missing:
            break;
    }
    return std::string();
}

std::string StoreTemporaryPattern(const std::string& path) {
    return path + kTemporaryInfix + std::string(kTemporaryRandomBytes, 'X');
}

bool IsStoreTemporaryName(const std::string& path, const std::string& name) {
    const std::size_t slash = path.find_last_of('/');
    const std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + kTemporaryInfix;
    if (name.size() != prefix.size() + kTemporaryRandomBytes || name.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    for (std::size_t index = prefix.size(); index < name.size(); ++index) {
        const char c = name[index];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
    }
    return true;
}

bool MakeFolders(const std::string& folder) {
    if (folder.empty()) return true;
    struct stat st;
    if (stat(folder.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        errno = ENOTDIR;
        return false;
    }
    std::size_t slash = folder.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolders(folder.substr(0, slash))) {
        return false;
    }
    return mkdir(folder.c_str(), 0755) == 0 || errno == EEXIST;
}

}  // namespace tqfw
