#include "host/EvDebug.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "host/StoreText.h"
#include "host/TQPlatformInfo.h"

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

// The configured debug level; the log's own reads of the store never log.
int ConfiguredLevel() {
    std::string value;
    std::uint64_t level = 0;
    if (!tqfw::ReadStoreValueQuietly("Base", "dTQDEBUGLEVEL", &value) ||
        !tqfw::ParseUnsignedDecimal(value, &level)) {
        return 0;
    }
    return level > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(level);
}

bool WriteOnce(int fd, const std::string& line) {
    for (;;) {
        ssize_t n = write(fd, line.data(), line.size());
        if (n < 0 && errno == EINTR) continue;
        return n == static_cast<ssize_t>(line.size());
    }
}

void WriteLine(const char* level, const char* function, const std::string& message) {
    std::string folder = kDefaultLogFolder;
    std::string configured;
    if (tqfw::ReadStoreValueQuietly("Base", "sTQLOGDIR", &configured) && !configured.empty()) {
        folder = configured;
    }
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
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            written = WriteOnce(fd, line);
            close(fd);
        }
    }
    if (!written || alsoStderr) WriteOnce(STDERR_FILENO, line);
}

void DebugLine(const char* function, int level, const char* format, va_list args) {
    // Level 0 would show with the default setting, which means "no debug
    // lines": the lowest level a line can have is 1.
    if (level < 1) level = 1;
    if (ConfiguredLevel() < level) return;
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
// set-up (it reads its folder and level from the store on each line), so the
// call accepts any arguments, does nothing and never fails.
bool EvEvent::initialize(int, std::uint32_t, int, EvEventCallback, const std::string&) {
    return true;
}
