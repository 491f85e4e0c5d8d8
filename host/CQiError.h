// Error values of the platform framework: a status code (an error when bit 31
// is set) and a shared detail record with the Win32 code, the message and the
// place the error was built.
#pragma once

#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <string>

// Detail record shared by copies of one error.
struct FXErrorPrivate {
    std::uint32_t win32Code = 0;
    std::string message;
    std::string file;
    std::string function;
    std::int32_t line = 0;
};

class CQiError {
public:
    CQiError() : m_code(0) {}
    CQiError(std::uint32_t code, boost::shared_ptr<FXErrorPrivate> detail)
        : m_code(code), m_detail(std::move(detail)) {}

    static CQiError Success() { return CQiError(); }
    bool IsError() const { return (m_code & 0x80000000u) != 0; }

    std::uint32_t Code() const { return m_code; }
    // The Win32 code the error was built from; 0 for a success.
    std::uint32_t Win32Code() const;
    // The message alone; empty for a success.
    std::string Message() const;
    // Readable text: "[Win32 error <code>] <message>", or "Success".
    std::string AsString() const;
    // Where the error was built: source file, the function's signature text
    // and line; empty texts and 0 for a success.
    std::string File() const;
    std::string Function() const;
    std::int32_t Line() const;

private:
    std::uint32_t m_code;
    boost::shared_ptr<FXErrorPrivate> m_detail;
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
constexpr const char k_FXErrorPrefixFormat[] = "[Win32 error %u] ";

// Removes every leading "[Win32 error N] " prefix from an error text.
std::string StripErrorPrefixes(const std::string& text);
