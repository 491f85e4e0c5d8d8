// The platform's event log.  Each call appends one line
//   <time> <pid> <thread> <LEVEL> <function> <message>
// to "<log folder>/<instance>.log".  The folder is "Base"/"sTQLOGDIR" of the
// configuration store (default /var/log/tq); when the file cannot be written
// the line goes to standard error.  The settings are read again only when the
// store file changes.  The levels: ERROR (EvDebug::Error, for
// failures) and INFO (EvDebug::Info, for events worth keeping such as a
// daemon's start and stop) lines are always written; a DEBUG line is written
// when its level is at most "Base"/"dTQDEBUGLEVEL" (default 0: none).
// EvDebug::Debug counts as level 1.  With the environment variable
// TQ_LOG_STDERR=1 (set by `tqd --foreground`) each line goes to standard error
// as well.
#pragma once

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
