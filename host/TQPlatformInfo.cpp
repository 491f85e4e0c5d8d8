#include "host/TQPlatformInfo.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>

#include "host/EvDebug.h"
#include "host/StoreText.h"
#include "host/UniqueFd.h"

namespace {

std::string ErrnoText(int error) {
    char buffer[256];
    return strerror_r(error, buffer, sizeof(buffer));
}

// The malformed lines of a store file are logged once for each version of
// the file.  This remembers, for the whole process, the version of each file
// whose lines were looked at last.
class MalformedNotes {
public:
    static MalformedNotes& instance() {
        // Never destroyed: stores may still be read while statics go.
        static MalformedNotes* notes = new MalformedNotes;
        return *notes;
    }
    // True, once, for each new version of the file at `path`.
    bool firstLook(const std::string& path, const tqfw::FileIdentity& identity) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_seen.find(path);
        if (found != m_seen.end() && found->second == identity) return false;
        // A process uses one store or a few: the list stays short.
        if (m_seen.size() >= 64) m_seen.clear();
        m_seen[path] = identity;
        return true;
    }

private:
    std::mutex m_mutex;
    std::map<std::string, tqfw::FileIdentity> m_seen;
};

void LogMalformedLines(const std::string& path, const std::string& text, const tqfw::FileIdentity& identity) {
    if (!MalformedNotes::instance().firstLook(path, identity)) return;
    const tqfw::MalformedLines malformed = tqfw::FindMalformedLines(text);
    if (malformed.count == 0) return;
    std::string shown = malformed.first;
    if (malformed.firstLength > shown.size()) {
        shown += "... (" + std::to_string(malformed.firstLength) + " bytes)";
    }
    // The line's bytes as they are: the event log escapes what needs it.
    EvDebug().Error("TQPlatformInfo::read", "skipping malformed line %zu of %s: %s (%zu malformed line%s in all)",
                    malformed.firstNumber, path.c_str(), shown.c_str(), malformed.count,
                    malformed.count == 1 ? "" : "s");
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
        if (!tqfw::MakeFolders(FolderOf(path))) {
            m_error = errno;
            return;
        }
        m_fd.reset(open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        if (!m_fd.open()) {
            m_error = errno;
            return;
        }
        while (flock(m_fd.get(), LOCK_EX) != 0) {
            if (errno != EINTR) {
                m_error = errno;
                m_fd.reset();
                return;
            }
        }
    }
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;
    bool held() const { return m_fd.open(); }
    int error() const { return m_error; }

private:
    UniqueFd m_fd;  // closing it releases the lock
    int m_error = 0;
};

bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Writes `text` to a new temporary file next to `path` and syncs it; its
// name in *temp (cleared when none was made).  The errno of a failure is
// kept.
bool WriteTemporary(const std::string& path, const std::string& text, std::string* temp) {
    *temp = tqfw::StoreTemporaryPattern(path);
    UniqueFd fd(mkostemp(&(*temp)[0], O_CLOEXEC));
    if (!fd.open()) {
        temp->clear();
        return false;
    }
    mode_t mode = 0644;
    struct stat st;
    if (stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;
    bool ok = fchmod(fd.get(), mode) == 0 && WriteAll(fd.get(), text) && fsync(fd.get()) == 0;
    const int savedErrno = errno;
    // Closed by hand: a failing close is a failed write.
    if (close(fd.release()) != 0 && ok) return false;
    errno = savedErrno;
    return ok;
}

// Replaces the file with `text`: temporary file in the same folder, fsync,
// rename, fsync of the folder.  The caller holds the lock.  On failure
// *problem names the file and the system's error.
bool ReplaceFile(const std::string& path, const std::string& text, std::string* problem) {
    std::string temp;
    if (!WriteTemporary(path, text, &temp) || rename(temp.c_str(), path.c_str()) != 0) {
        const int error = errno;
        if (!temp.empty()) unlink(temp.c_str());
        *problem = "cannot write the configuration store " + path + ": " + ErrnoText(error);
        return false;
    }
    const std::string folder = FolderOf(path);
    UniqueFd dirFd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    bool flushed = dirFd.open() && fsync(dirFd.get()) == 0;
    const int error = errno;
    dirFd.reset();
    if (!flushed) {
        // The new text is in place but may not survive a crash.
        *problem = "cannot flush the folder of the configuration store " + path + ": " + ErrnoText(error);
        return false;
    }
    return true;
}

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

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

void TQPlatformInfo::fail(TQStoreError error, const std::string& text) {
    m_error = error;
    m_errorText = text;
}

bool TQPlatformInfo::load(std::string* text) {
    tqfw::FileIdentity identity;
    return load(text, &identity);
}

bool TQPlatformInfo::load(std::string* text, tqfw::FileIdentity* identity) {
    std::uint64_t error = 0;
    const tqfw::StoreFileRead outcome = tqfw::ReadStoreFile(m_path, tqfw::kStoreSizeLimit, text, identity, &error);
    switch (outcome) {
        case tqfw::StoreFileRead::Ok:
            LogMalformedLines(m_path, *text, *identity);
            return true;
        case tqfw::StoreFileRead::Missing:
            return true;
        case tqfw::StoreFileRead::TooLarge:
            fail(TQStoreError::TooLarge, tqfw::StoreFileProblem(m_path, outcome, error));
            break;
        case tqfw::StoreFileRead::NotAFile:
            fail(TQStoreError::NotAFile, tqfw::StoreFileProblem(m_path, outcome, error));
            break;
        case tqfw::StoreFileRead::Failed:
            fail(TQStoreError::CannotRead, tqfw::StoreFileProblem(m_path, outcome, error));
            break;
    }
    EvDebug().Error("TQPlatformInfo::read", "%s", m_errorText.c_str());
    return false;
}

int TQPlatformInfo::getString(const char* section, const char* key, char* buffer,
                              std::int32_t* length) {
    fail(TQStoreError::None, std::string());
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
    fail(TQStoreError::None, std::string());
    if (section == nullptr || key == nullptr) return 0;
    std::string text;
    if (!load(&text)) return 0;
    return tqfw::FindStoreValue(text, section, key, &value) ? 1 : 0;
}

int TQPlatformInfo::getStrings(const char* section, const std::vector<std::string>& keys,
                               std::vector<std::string>& values, std::vector<bool>& found) {
    fail(TQStoreError::None, std::string());
    values.assign(keys.size(), std::string());
    found.assign(keys.size(), false);
    std::string text;
    if (section == nullptr || !load(&text)) return 0;
    tqfw::FindStoreValues(text, section, keys, &values, &found);
    return 1;
}

int TQPlatformInfo::setString(const char* section, const char* key, const char* value,
                              std::int32_t length) {
    if (value == nullptr || length < 0) {
        fail(TQStoreError::BadRequest, "no value given for the configuration store " + m_path);
        return 0;
    }
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

bool TQPlatformInfo::changedText(const std::string& text, const char* section, const char* key,
                                 const Change& change, std::string* next, bool* refused) {
    *refused = false;
    std::string current;
    const bool found = tqfw::FindStoreValue(text, section, key, &current);
    const std::optional<std::string> value = change(found ? &current : nullptr);
    if (!value || (found && *value == current)) return false;
    if (!tqfw::ValidValue(*value)) {
        fail(TQStoreError::BadRequest, std::string("refusing a value with a line break for [") + section + "] " +
                                           key + " of the configuration store " + m_path);
    } else {
        *next = tqfw::SetStoreValue(text, section, key, *value);
        if (next->size() <= tqfw::kStoreSizeLimit) return true;
        fail(TQStoreError::WouldExceed,
             "refusing to write [" + std::string(section) + "] " + key + ": the configuration store " + m_path +
                 " would hold " + std::to_string(next->size()) + " bytes, more than its limit of " +
                 tqfw::kStoreSizeLimitText + " (" + std::to_string(tqfw::kStoreSizeLimit) +
                 " bytes); it is left as it was");
    }
    EvDebug().Error("TQPlatformInfo::update", "%s", m_errorText.c_str());
    *refused = true;
    return false;
}

int TQPlatformInfo::update(const char* section, const char* key, const Change& change) {
    fail(TQStoreError::None, std::string());
    if (section == nullptr || key == nullptr || !change || !tqfw::ValidSectionName(section) ||
        !tqfw::ValidKey(key)) {
        fail(TQStoreError::BadRequest, std::string("refusing section [") + (section ? section : "") + "] key [" +
                                           (key ? key : "") + "] for the configuration store " + m_path);
        EvDebug().Error("TQPlatformInfo::update", "%s", m_errorText.c_str());
        return 0;
    }
    // First without the lock: a write replaces the file whole, so this read
    // sees one version of it, and a request that leaves the value as it is
    // costs one read.  A file that cannot be read (too large, a folder,
    // unreadable) is never overwritten.
    std::string text, next;
    tqfw::FileIdentity seen;
    bool refused = false;
    if (!load(&text, &seen)) return 0;
    if (!changedText(text, section, key, change, &next, &refused)) return refused ? 0 : 1;
    StoreLock lock(m_path);
    if (!lock.held()) {
        fail(TQStoreError::CannotLock,
             "cannot lock the configuration store " + m_path + " (" + m_path + ".lock): " + ErrnoText(lock.error()));
        EvDebug().Error("TQPlatformInfo::update", "%s", m_errorText.c_str());
        return 0;
    }
    // Another write may have come between the read and the lock: then the
    // change is made again on what that write left.
    if (tqfw::IdentityOfPath(m_path) != seen) {
        if (!load(&text, &seen)) return 0;
        if (!changedText(text, section, key, change, &next, &refused)) return refused ? 0 : 1;
    }
    std::string problem;
    if (!ReplaceFile(m_path, next, &problem)) {
        fail(TQStoreError::CannotWrite, problem);
        EvDebug().Error("TQPlatformInfo::write", "%s", problem.c_str());
        return 0;
    }
    return 1;
}

bool TQPlatformInfo::check(std::string* problem) {
    fail(TQStoreError::None, std::string());
    std::string text;
    if (load(&text)) return true;
    if (problem) *problem = m_errorText;
    return false;
}

int TQPlatformInfo::removeStaleTemporaries(int seconds) {
    const std::string folder = FolderOf(m_path);
    std::unique_ptr<DIR, DirCloser> dir(opendir(folder.c_str()));
    if (!dir) return 0;
    // Under the lock no write is under way: a temporary file seen now is
    // one that its write left behind.
    StoreLock lock(m_path);
    if (!lock.held()) return 0;
    const time_t now = time(nullptr);
    int removed = 0;
    while (const dirent* entry = readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (!tqfw::IsStoreTemporaryName(m_path, name)) continue;
        struct stat st;
        if (fstatat(dirfd(dir.get()), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            now - st.st_mtime < seconds) {
            continue;
        }
        if (unlinkat(dirfd(dir.get()), name.c_str(), 0) != 0) continue;
        ++removed;
        EvDebug().Info("TQPlatformInfo::clean", "removed %s/%s, a temporary file of the configuration store "
                       "left by a write that did not finish", folder.c_str(), name.c_str());
    }
    return removed;
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
