// The request handler library that tqd loads at start: libtqrcgmgr.so and
// its exported rcgMgrHandler.
#pragma once

#include <string>

#include "host/CQiSocket.h"

namespace tqd {

typedef void (*RcgMgrHandlerFunction)(CQiSocket socket, void* frame);
typedef int (*RcgMgrReapplyFunction)(const char* change);

// Owns one dlopen handle; closes it when it goes.
class HandlerLibrary {
public:
    HandlerLibrary() = default;
    ~HandlerLibrary();
    HandlerLibrary(const HandlerLibrary&) = delete;
    HandlerLibrary& operator=(const HandlerLibrary&) = delete;

    // Loads `path` (RTLD_NOW | RTLD_LOCAL) and resolves rcgMgrHandler (and,
    // where the library has it, rcgMgrReapplyCaps) by its plain name.  Returns false with a message that says what to do.
    bool open(const std::string& path, std::string* problem);
    RcgMgrHandlerFunction handler() const { return m_handler; }
    // rcgMgrReapplyCaps, or null for a library that has none.
    RcgMgrReapplyFunction reapply() const { return m_reapply; }

private:
    void* m_handle = nullptr;
    RcgMgrHandlerFunction m_handler = nullptr;
    RcgMgrReapplyFunction m_reapply = nullptr;
};

// The version line of the library (its TqVersion section, as stored).
bool ReadLibraryVersion(const std::string& path, std::string* line, std::string* problem);

}  // namespace tqd
