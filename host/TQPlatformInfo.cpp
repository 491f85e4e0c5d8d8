#include "host/TQPlatformInfo.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "host/EvDebug.h"
#include "host/StoreText.h"

namespace tqfw {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The line that sets `key` in `section`; the last one wins, as when the file
// is read from top to bottom.
const StoreLine* FindStoreLine(const std::string& text, const std::vector<StoreLine>& lines,
                               const std::string& section, const std::string& key) {
    const StoreLine* found = nullptr;
    for (const StoreLine& line : lines) {
        if (line.kind == StoreLine::Value && line.section == section &&
            line.equals - line.begin == key.size() && text.compare(line.begin, key.size(), key) == 0) {
            found = &line;
        }
    }
    return found;
}

}  // namespace

std::vector<StoreLine> ParseStoreText(const std::string& text) {
    std::vector<StoreLine> lines;
    std::string section;
    std::size_t pos = 0;
    while (pos < text.size()) {
        StoreLine line;
        line.begin = pos;
        std::size_t newline = text.find('\n', pos);
        line.hasNewline = newline != std::string::npos;
        line.end = line.hasNewline ? newline : text.size();
        pos = line.hasNewline ? newline + 1 : text.size();

        std::size_t first = line.begin;
        while (first < line.end && IsBlank(text[first])) ++first;
        std::size_t last = line.end;
        while (last > first && IsBlank(text[last - 1])) --last;

        if (first == line.end) {
            line.kind = StoreLine::Blank;
        } else if (text[line.begin] == '#') {
            line.kind = StoreLine::Comment;
        } else if (text[first] == '[' && last - first >= 2 && text[last - 1] == ']') {
            line.kind = StoreLine::Section;
            section = text.substr(first + 1, last - first - 2);
        } else {
            std::size_t equals = text.find('=', line.begin);
            if (equals != std::string::npos && equals < line.end && equals > line.begin) {
                line.kind = StoreLine::Value;
                line.equals = equals;
            } else {
                line.kind = StoreLine::Malformed;
            }
        }
        line.section = section;
        lines.push_back(std::move(line));
    }
    return lines;
}

bool FindStoreValue(const std::string& text, const std::vector<StoreLine>& lines,
                    const std::string& section, const std::string& key, std::string* value) {
    const StoreLine* line = FindStoreLine(text, lines, section, key);
    if (line == nullptr) return false;
    if (value) value->assign(text, line->equals + 1, line->end - line->equals - 1);
    return true;
}

std::string SetStoreValue(const std::string& text, const std::string& section,
                          const std::string& key, const std::string& value) {
    const std::vector<StoreLine> lines = ParseStoreText(text);
    std::string result = text;

    // An existing key: replace the bytes after its '='.
    if (const StoreLine* line = FindStoreLine(text, lines, section, key)) {
        result.replace(line->equals + 1, line->end - line->equals - 1, value);
        return result;
    }

    // A new key: after the section's last value line, else after its
    // (last) header; keys before the first header form the nameless section.
    const std::string entry = key + "=" + value;
    const StoreLine* anchor = nullptr;
    for (const StoreLine& line : lines) {
        if (line.section != section) continue;
        if (line.kind == StoreLine::Value ||
            (line.kind == StoreLine::Section && (anchor == nullptr || anchor->kind != StoreLine::Value))) {
            anchor = &line;
        }
    }
    if (anchor != nullptr) {
        if (anchor->hasNewline) {
            result.insert(anchor->end + 1, entry + "\n");
        } else {
            result.insert(anchor->end, "\n" + entry);
        }
        return result;
    }
    if (section.empty()) return entry + "\n" + text;

    // A new section at the end.
    if (!result.empty() && result.back() != '\n') result += '\n';
    result += "[" + section + "]\n" + entry + "\n";
    return result;
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
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            if (missing) *missing = true;
            return true;
        }
        return false;
    }
    char chunk[8192];
    bool ok = true;
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0) break;
        text->append(chunk, static_cast<std::size_t>(n));
    }
    close(fd);
    return ok;
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

bool ReadStoreValueQuietly(const std::string& section, const std::string& key, std::string* value) {
    std::string text;
    if (!ReadWholeFile(StorePathFor(TQPI_Focus::getFocus()), &text, nullptr)) return false;
    return FindStoreValue(text, ParseStoreText(text), section, key, value);
}

}  // namespace tqfw

namespace {

using tqfw::StoreLine;

// The bytes of one line (the event log escapes what needs it).
std::string Shown(const std::string& text, const StoreLine& line) {
    return text.substr(line.begin, line.end - line.begin);
}

// Reads and parses the store, logging each malformed line.  False when the
// file exists but cannot be read.
bool LoadStore(const std::string& path, std::string* text, std::vector<StoreLine>* lines,
               bool* missing = nullptr) {
    if (!tqfw::ReadWholeFile(path, text, missing)) {
        EvDebug().Error("TQPlatformInfo::read", "cannot read %s: %s", path.c_str(), strerror(errno));
        return false;
    }
    *lines = tqfw::ParseStoreText(*text);
    int number = 0;
    for (const StoreLine& line : *lines) {
        ++number;
        if (line.kind == StoreLine::Malformed) {
            EvDebug().Error("TQPlatformInfo::read", "skipping malformed line %d of %s: %s", number,
                            path.c_str(), Shown(*text, line).c_str());
        }
    }
    return true;
}

std::string FolderOf(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Exclusive lock on "<file>.lock" for the length of a write.  The lock file
// is separate because a write replaces the store's inode.
class StoreLock {
public:
    explicit StoreLock(const std::string& path) {
        if (!tqfw::MakeFolders(FolderOf(path))) return;
        m_fd = open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd < 0) return;
        while (flock(m_fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                close(m_fd);
                m_fd = -1;
                return;
            }
        }
    }
    ~StoreLock() {
        if (m_fd >= 0) close(m_fd);  // closing releases the lock
    }
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;
    bool held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Replaces the file with `text`: temporary file in the same folder, fsync,
// rename, fsync of the folder.  The caller holds the lock.
bool ReplaceFile(const std::string& path, const std::string& text) {
    const std::string folder = FolderOf(path);
    std::string temp = path + ".XXXXXX";
    int fd = mkostemp(&temp[0], O_CLOEXEC);
    if (fd < 0) {
        EvDebug().Error("TQPlatformInfo::write", "cannot create a file next to %s: %s", path.c_str(),
                        strerror(errno));
        return false;
    }
    mode_t mode = 0644;
    struct stat st;
    if (stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;
    bool ok = fchmod(fd, mode) == 0 && WriteAll(fd, text) && fsync(fd) == 0;
    int savedErrno = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        savedErrno = errno;
    }
    if (ok && rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        savedErrno = errno;
    }
    if (!ok) {
        unlink(temp.c_str());
        EvDebug().Error("TQPlatformInfo::write", "cannot write %s: %s", path.c_str(),
                        strerror(savedErrno));
        return false;
    }
    int dirFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        if (fsync(dirFd) != 0) ok = false;
        close(dirFd);
    } else {
        ok = false;
    }
    if (!ok) {
        EvDebug().Error("TQPlatformInfo::write", "cannot flush the folder of %s", path.c_str());
    }
    return ok;
}

}  // namespace

namespace TQPI_Focus {
std::string getFocus() {
    const char* instance = getenv("TQ_INSTANCE");
    if (instance && tqfw::ValidFocus(instance)) return instance;
    return "Instance001";
}
}  // namespace TQPI_Focus

TQPlatformInfo::TQPlatformInfo() { setFocus(TQPI_Focus::getFocus()); }

TQPlatformInfo::~TQPlatformInfo() = default;

void TQPlatformInfo::setFocus(const std::string& focus) { m_path = tqfw::StorePathFor(focus); }

int TQPlatformInfo::getString(const char* section, const char* key, char* buffer,
                              std::int32_t* length) {
    if (buffer == nullptr || length == nullptr || *length <= 0) return 0;
    std::string value;
    if (!getString(section, key, value)) return 0;
    if (value.size() + 1 > static_cast<std::size_t>(*length)) return 0;
    std::memcpy(buffer, value.data(), value.size());
    buffer[value.size()] = '\0';
    *length = static_cast<std::int32_t>(value.size());
    return 1;
}

int TQPlatformInfo::getString(const char* section, const char* key, std::string& value) {
    if (section == nullptr || key == nullptr) return 0;
    std::string text;
    std::vector<StoreLine> lines;
    if (!LoadStore(m_path, &text, &lines)) return 0;
    return tqfw::FindStoreValue(text, lines, section, key, &value) ? 1 : 0;
}

int TQPlatformInfo::setString(const char* section, const char* key, const char* value,
                              std::int32_t length) {
    if (value == nullptr || length < 0) return 0;
    const std::string text(value, static_cast<std::size_t>(length));
    return update(section, key, [&text](const std::string*) { return text; });
}

int TQPlatformInfo::getNumber(const char* section, const char* key, std::uint64_t& number) {
    std::string value;
    if (!getString(section, key, value)) return 0;
    return tqfw::ParseUnsignedDecimal(value, &number) ? 1 : 0;
}

int TQPlatformInfo::setNumber(const char* section, const char* key, std::uint64_t number) {
    const std::string text = std::to_string(number);
    return setString(section, key, text.data(), static_cast<std::int32_t>(text.size()));
}

int TQPlatformInfo::update(const char* section, const char* key,
                           const std::function<std::string(const std::string* current)>& change) {
    if (section == nullptr || key == nullptr || !change) return 0;
    if (!tqfw::ValidSectionName(section) || !tqfw::ValidKey(key)) {
        EvDebug().Error("TQPlatformInfo::update", "refusing section [%s] key [%s]", section, key);
        return 0;
    }
    StoreLock lock(m_path);
    if (!lock.held()) {
        EvDebug().Error("TQPlatformInfo::update", "cannot lock %s.lock: %s", m_path.c_str(),
                        strerror(errno));
        return 0;
    }
    std::string text;
    std::vector<StoreLine> lines;
    // A file that exists but cannot be read is never overwritten.
    if (!LoadStore(m_path, &text, &lines)) return 0;
    std::string current;
    bool found = tqfw::FindStoreValue(text, lines, section, key, &current);
    const std::string next = change(found ? &current : nullptr);
    if (!tqfw::ValidValue(next)) {
        EvDebug().Error("TQPlatformInfo::update", "refusing a value with a line break for [%s] %s",
                        section, key);
        return 0;
    }
    return ReplaceFile(m_path, tqfw::SetStoreValue(text, section, key, next)) ? 1 : 0;
}

const char* TQPlatformInfo::getPhysicalMachine() {
    std::string name;
    if (getString("Session", "sCLIENTNAME", name) && !name.empty()) {
        m_physicalMachine = name;
        return m_physicalMachine.c_str();
    }
    struct utsname uts;
    if (uname(&uts) == 0 && uts.nodename[0] != '\0') {
        m_physicalMachine = uts.nodename;
        return m_physicalMachine.c_str();
    }
    m_physicalMachine.clear();
    return nullptr;
}

int TQPlatformInfo::getClientHostNameMangled(const std::string& client, std::string& host) {
    std::string configured;
    if (getString("Session", "sTQDHOST", configured) && !configured.empty()) {
        host = configured;
        return 1;
    }
    if (client.empty()) return 0;
    const char* self = getPhysicalMachine();
    host = (self != nullptr && client == self) ? "localhost" : client;
    return 1;
}
