#include "host/EvDebug.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#include "host/StoreText.h"
#include "host/TQPlatformInfo.h"
#include "host/UniqueFd.h"

namespace {

constexpr const char kDefaultLogFolder[] = "/var/log/tq";

// Serialises the lines of this process; O_APPEND and one write() per line
// keep the lines of different processes apart.
std::mutex g_logMutex;

std::string FormatV(const char* format, va_list args) {
    if (format == nullptr) return std::string();
    va_list copy;
    va_copy(copy, args);
    int size = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (size <= 0) return std::string();
    std::string text(static_cast<std::size_t>(size) + 1, '\0');
    vsnprintf(&text[0], text.size(), format, args);
    text.resize(static_cast<std::size_t>(size));
    return text;
}

// One call, one line: line breaks become "\n", other control bytes \xNN.
void AppendEscaped(std::string& line, const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            line += "\\n";
        } else if (byte < 0x20 || byte == 0x7f) {
            line += "\\x";
            line += kHex[byte >> 4];
            line += kHex[byte & 0xf];
        } else {
            line += c;
        }
    }
}

std::string Timestamp() {
    struct timeval now;
    gettimeofday(&now, nullptr);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    char text[64];
    size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    snprintf(text + n, sizeof text - n, ".%06ld", static_cast<long>(now.tv_usec));
    return text;
}

// The log's own settings: "Base"/"sTQLOGDIR" and "Base"/"dTQDEBUGLEVEL".
struct LogSettings {
    std::string folder = kDefaultLogFolder;
    int level = 0;
};

LogSettings ParseLogSettings(const std::string& text) {
    LogSettings settings;
    std::vector<std::string> values;
    std::vector<bool> found;
    tqfw::FindStoreValues(text, "Base", {"sTQLOGDIR", "dTQDEBUGLEVEL"}, &values, &found);
    if (found[0] && !values[0].empty()) settings.folder = values[0];
    std::uint64_t level = 0;
    if (found[1] && tqfw::ParseUnsignedDecimal(values[1], &level)) {
        settings.level = level > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(level);
    }
    return settings;
}

std::int64_t Nanoseconds(const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

// The log's settings as last read from the store, for the whole process: a
// line costs one stat() of the store, which is read again only when the file
// changed (another inode, size or time).  A file changed within the clock
// tick of the read could change again unseen, with the same times: until
// the settings have been read well after the last change, each line reads
// them again.  The store is read quietly (the log must not log while it
// reads its own settings); a store that cannot be used gives the defaults.
class LogSettingsCache {
public:
    static LogSettingsCache& instance() {
        // Never destroyed: the log may still be used while statics go.
        static LogSettingsCache* cache = new LogSettingsCache;
        return *cache;
    }

    LogSettings get() {
        const std::string path = tqfw::StorePathFor(TQPI_Focus::getFocus());
        const tqfw::FileIdentity identity = tqfw::IdentityOfPath(path);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_valid || path != m_path || identity != m_identity || !settled()) read(path);
        return m_settings;
    }

private:
    // A file's times tick coarsely: a change this close to the read may
    // not show in them.
    static constexpr std::int64_t kTickMargin = 2000000000;

    void read(const std::string& path) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        std::string text;
        std::uint64_t error = 0;
        const tqfw::StoreFileRead outcome =
            tqfw::ReadStoreFile(path, tqfw::kStoreSizeLimit, &text, &m_identity, &error);
        m_settings = outcome == tqfw::StoreFileRead::Ok ? ParseLogSettings(text) : LogSettings();
        m_path = path;
        m_readAt = Nanoseconds(now);
        m_valid = true;
    }
    bool settled() const {
        if (!m_identity.exists) return true;
        const std::int64_t changed = std::max(Nanoseconds(m_identity.modified), Nanoseconds(m_identity.changed));
        return m_readAt - changed >= kTickMargin;
    }

    std::mutex m_mutex;
    bool m_valid = false;
    std::string m_path;
    tqfw::FileIdentity m_identity;
    std::int64_t m_readAt = 0;
    LogSettings m_settings;
};

bool WriteOnce(int fd, const std::string& line) {
    for (;;) {
        ssize_t n = write(fd, line.data(), line.size());
        if (n < 0 && errno == EINTR) continue;
        return n == static_cast<ssize_t>(line.size());
    }
}

void WriteLine(const char* level, const char* function, const std::string& message) {
    const std::string folder = LogSettingsCache::instance().get().folder;
    const std::string path = folder + "/" + TQPI_Focus::getFocus() + ".log";

    std::string line = Timestamp();
    line += ' ';
    line += std::to_string(getpid());
    line += ' ';
    line += std::to_string(gettid());
    line += ' ';
    line += level;
    line += ' ';
    AppendEscaped(line, function != nullptr && *function != '\0' ? function : "-");
    line += ' ';
    AppendEscaped(line, message);
    line += '\n';

    const char* echo = getenv("TQ_LOG_STDERR");
    const bool alsoStderr = echo != nullptr && std::strcmp(echo, "1") == 0;

    std::lock_guard<std::mutex> lock(g_logMutex);
    bool written = false;
    if (tqfw::MakeFolders(folder)) {
        const UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        if (fd.open()) written = WriteOnce(fd.get(), line);
    }
    if (!written || alsoStderr) WriteOnce(STDERR_FILENO, line);
}

void DebugLine(const char* function, int level, const char* format, va_list args) {
    // Level 0 would show with the default setting, which means "no debug
    // lines": the lowest level a line can have is 1.
    if (level < 1) level = 1;
    if (LogSettingsCache::instance().get().level < level) return;
    WriteLine("DEBUG", function, FormatV(format, args));
}

}  // namespace

EvDebug::EvDebug(EvDebugFileInstance* file) : m_file(file) {}

EvDebug::~EvDebug() = default;

void EvDebug::Error(const char* function, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string message = FormatV(format, args);
    va_end(args);
    WriteLine("ERROR", function, message);
}

void EvDebug::Info(const char* function, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string message = FormatV(format, args);
    va_end(args);
    WriteLine("INFO", function, message);
}

void EvDebug::Debug(const char* function, const char* format, ...) {
    va_list args;
    va_start(args, format);
    DebugLine(function, 1, format, args);
    va_end(args);
}

void EvDebug::DebugLvl(const char* function, int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    DebugLine(function, level, format, args);
    va_end(args);
}

EvEvent::EvEvent() = default;

EvEvent::~EvEvent() = default;

// There is no event service to register with on this host: the log needs no
// set-up (it reads its folder and level from the store as they change), so the
// call accepts any arguments, does nothing and never fails.
bool EvEvent::initialize(int, std::uint32_t, int, EvEventCallback, const std::string&) {
    return true;
}
