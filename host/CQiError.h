// Error values of the platform framework: a status code (an error when bit 31
// is set) and a shared detail record with the Win32 code, the message and the
// place the error was built.
#pragma once

#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <string>

// The class CQiError itself is part of the public interface.
#include "../include/tqrcgmgr/CQiError.h"

// Detail record shared by copies of one error.
struct FXErrorPrivate {
    std::uint32_t win32Code = 0;
    std::string message;
    std::string file;
    std::string function;
    std::int32_t line = 0;
};

// Where an error was built: source unit, the function's full signature, line.
struct FXCodeLocation {
    const char* file;
    const char* function;
    std::int32_t line;
};

namespace FXErrorUtil {
// Builds an error carrying `code` (bit 31 set in the status code) and the
// message made from `format` and its arguments.
CQiError ErrorWin32(const FXCodeLocation& location, std::uint32_t code, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
}  // namespace FXErrorUtil

// Prefix that AsString puts before the message; callers that show only the
// message of a nested error strip it (see StripErrorPrefixes).
constexpr const char kFXErrorPrefixFormat[] = "[Win32 error %u] ";

// Removes every leading "[Win32 error N] " prefix from an error text.
std::string StripErrorPrefixes(const std::string& text);
