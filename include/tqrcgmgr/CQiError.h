// tqrcgmgr public interface: the error value that every client function of
// libtqrcgmgr.so returns.  Its members are defined in libtqfw.so: a program
// that calls them links with -ltqrcgmgr -ltqfw (pkg-config tqrcgmgr).
#pragma once

#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <string>

// Detail record shared by copies of one error (defined inside the library).
struct FXErrorPrivate;

// A status code (an error when bit 31 is set) and a shared detail record
// with the Win32 code, the message and the place the error was built.
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
