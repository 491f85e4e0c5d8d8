// The platform's event log.  Each call appends one line
//   <time> <pid> <thread> <LEVEL> <function> <message>
// to "<log folder>/<instance>.log".  The folder is "Base"/"sTQLOGDIR" of the
// configuration store (default /var/log/tq); when the file cannot be written
// the line goes to standard error.  The settings are read again only when the
// store file changes.  Each process holds the file open from line to line
// (see EvDebugFile.h); when a line would take the file past "Base"/
// "dTQLOGMAXKB" KiB (default 32768, at least 16) it is renamed to
// "<instance>.log.1" and a new file is begun, so that the log never holds
// much more than twice the cap.  Nothing in a line can act on a terminal
// (see AppendTerminalSafe).  The levels: ERROR (EvDebug::Error, for
// failures) and INFO (EvDebug::Info, for events worth keeping such as a
// daemon's start and stop) lines are always written; a DEBUG line is written
// when its level is at most "Base"/"dTQDEBUGLEVEL" (default 0: none).
// EvDebug::Debug counts as level 1.  With the environment variable
// TQ_LOG_STDERR=1 (set by `tqd --foreground`) each line goes to standard error
// as well.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class EvDebugFileInstance;

class EvDebug {
public:
    explicit EvDebug(EvDebugFileInstance* file = nullptr);
    virtual ~EvDebug();

    void Error(const char* function, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void Info(const char* function, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void Debug(const char* function, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void DebugLvl(const char* function, int level, const char* format, ...)
        __attribute__((format(printf, 4, 5)));

private:
    EvDebugFileInstance* m_file;
};

typedef void (*EvEventCallback)(void* context);

class EvEvent : public EvDebug {
public:
    EvEvent();
    ~EvEvent() override;
    // Registers the caller with the event service; returns false when that
    // fails.  The arguments are the platform's (facility, category, flags).
    // This host has no event service: the call does nothing and returns true.
    bool initialize(int facility, std::uint32_t category, int flags, EvEventCallback callback,
                    const std::string& name);
};

namespace tqfw {

// The length of the well-formed UTF-8 sequence that starts at `at` (1 for
// ASCII), 0 when the bytes there are not one (a stray continuation byte, an
// overlong form, a surrogate, a code point past U+10FFFF, a cut sequence).
std::size_t Utf8SequenceLength(const std::string& text, std::size_t at);

// Appends `text` so that nothing in it acts on a terminal or splits the
// line: a line break as "\n", other C0 controls and DEL as "\xNN", C1
// controls (U+0080 to U+009F) as "\u00NN", and each byte that is not part of
// well-formed UTF-8 as "\xNN"; other text as it is.
void AppendTerminalSafe(std::string& line, const std::string& text);

}  // namespace tqfw
