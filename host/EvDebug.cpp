#include "host/EvDebug.h"

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

#include "host/EvDebugFile.h"
#include "host/StoreText.h"
#include "host/TQPlatformInfo.h"

namespace {

constexpr const char kDefaultLogFolder[] = "/var/log/tq";
// "Base"/"dTQLOGMAXKB": the log file's cap in KiB, and its bounds.
constexpr std::uint64_t kDefaultLogMaxKiB = 32768;
constexpr std::uint64_t kLeastLogMaxKiB = 16;
constexpr std::uint64_t kMostLogMaxKiB = 4u << 20;

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

// The log's own settings: "Base"/"sTQLOGDIR", "Base"/"dTQDEBUGLEVEL" and
// "Base"/"dTQLOGMAXKB".
struct LogSettings {
    std::string folder = kDefaultLogFolder;
    int level = 0;
    std::uint64_t maxBytes = kDefaultLogMaxKiB * 1024;
};

LogSettings ParseLogSettings(const std::string& text) {
    LogSettings settings;
    std::vector<std::string> values;
    std::vector<bool> found;
    tqfw::FindStoreValues(text, "Base", {"sTQLOGDIR", "dTQDEBUGLEVEL", "dTQLOGMAXKB"}, &values, &found);
    if (found[0] && !values[0].empty()) settings.folder = values[0];
    std::uint64_t number = 0;
    if (found[1] && tqfw::ParseUnsignedDecimal(values[1], &number)) {
        settings.level = number > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(number);
    }
    // A cap out of bounds is brought within them; one that is not a number
    // leaves the default.
    if (found[2] && tqfw::ParseUnsignedDecimal(values[2], &number)) {
        settings.maxBytes = std::min(std::max(number, kLeastLogMaxKiB), kMostLogMaxKiB) * 1024;
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

// The log file of this process, held from line to line; never destroyed,
// since the log may still be used while statics go.
tqfw::EvDebugFile& LogFile() {
    static tqfw::EvDebugFile* file = new tqfw::EvDebugFile;
    return *file;
}

// "<time> <pid> <thread> <LEVEL> <function> <message>\n", every field made
// safe for a terminal.
std::string FormatLine(const char* level, const char* function, const std::string& message) {
    std::string line = Timestamp();
    line += ' ';
    line += std::to_string(getpid());
    line += ' ';
    line += std::to_string(gettid());
    line += ' ';
    line += level;
    line += ' ';
    tqfw::AppendTerminalSafe(line, function != nullptr && *function != '\0' ? function : "-");
    line += ' ';
    tqfw::AppendTerminalSafe(line, message);
    line += '\n';
    return line;
}

void WriteToStandardError(const std::string& line) {
    // Whole lines, also when they are longer than a pipe writes at once.
    static std::mutex* mutex = new std::mutex;
    std::lock_guard<std::mutex> lock(*mutex);
    for (;;) {
        const ssize_t n = write(STDERR_FILENO, line.data(), line.size());
        if (n < 0 && errno == EINTR) continue;
        return;
    }
}

void WriteLine(const char* level, const char* function, const std::string& message) {
    const LogSettings settings = LogSettingsCache::instance().get();
    const std::string path = settings.folder + "/" + TQPI_Focus::getFocus() + ".log";
    const std::string line = FormatLine(level, function, message);
    const auto note = [&settings, &path] {
        return FormatLine("INFO", "EvDebug",
                          "the log reached its cap of " + std::to_string(settings.maxBytes / 1024) +
                              " KiB (Base/dTQLOGMAXKB): the lines before are in " + path + ".1");
    };

    const char* echo = getenv("TQ_LOG_STDERR");
    const bool alsoStderr = echo != nullptr && std::strcmp(echo, "1") == 0;
    const bool written = LogFile().append(path, settings.maxBytes, line, note);
    if (!written || alsoStderr) WriteToStandardError(line);
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

namespace tqfw {

std::size_t Utf8SequenceLength(const std::string& text, std::size_t at) {
    const auto byte = [&text](std::size_t index) { return static_cast<unsigned char>(text[index]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return 1;
    // The second byte's range narrows for the leads that would otherwise
    // allow overlong forms, surrogates or code points past U+10FFFF.
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (std::size_t next = 2; next < length; ++next) {
        if (byte(at + next) < 0x80 || byte(at + next) > 0xBF) return 0;
    }
    return length;
}

void AppendTerminalSafe(std::string& line, const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    const auto escape = [&line](const char* prefix, unsigned char value) {
        line += prefix;
        line += kHex[value >> 4];
        line += kHex[value & 0xf];
    };
    for (std::size_t at = 0; at < text.size();) {
        const unsigned char byte = static_cast<unsigned char>(text[at]);
        const std::size_t length = Utf8SequenceLength(text, at);
        if (byte == '\n') {
            line += "\\n";
        } else if (length == 0 || byte < 0x20 || byte == 0x7f) {
            escape("\\x", byte);
        } else if (length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0) {
            // U+0080 to U+009F, the C1 controls.
            escape("\\u00", static_cast<unsigned char>(text[at + 1]));
        } else {
            line.append(text, at, length);
        }
        at += length == 0 ? 1 : length;
    }
}

}  // namespace tqfw
