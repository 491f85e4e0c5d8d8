#include "host/CQiError.h"

#include <cstdarg>
#include <cstdio>

std::uint32_t CQiError::Win32Code() const {
    if (m_detail) return m_detail->win32Code;
    return IsError() ? (m_code & 0x7fffffffu) : 0;
}

std::string CQiError::Message() const { return m_detail ? m_detail->message : std::string(); }

std::string CQiError::File() const { return m_detail ? m_detail->file : std::string(); }

std::string CQiError::Function() const { return m_detail ? m_detail->function : std::string(); }

std::int32_t CQiError::Line() const { return m_detail ? m_detail->line : 0; }

std::string CQiError::AsString() const {
    if (!IsError()) return "Success";
    char prefix[sizeof kFXErrorPrefixFormat + 16];
    snprintf(prefix, sizeof prefix, kFXErrorPrefixFormat, static_cast<unsigned>(Win32Code()));
    return prefix + Message();
}

namespace FXErrorUtil {

CQiError ErrorWin32(const FXCodeLocation& location, std::uint32_t code, const char* format, ...) {
    boost::shared_ptr<FXErrorPrivate> detail(new FXErrorPrivate);
    detail->win32Code = code;
    detail->file = location.file ? location.file : "";
    detail->function = location.function ? location.function : "";
    detail->line = location.line;
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        va_list copy;
        va_copy(copy, args);
        int size = vsnprintf(nullptr, 0, format, copy);
        va_end(copy);
        if (size > 0) {
            detail->message.resize(static_cast<std::size_t>(size) + 1);
            vsnprintf(&detail->message[0], detail->message.size(), format, args);
            detail->message.resize(static_cast<std::size_t>(size));
        }
        va_end(args);
    }
    return CQiError(0x80000000u | code, detail);
}

}  // namespace FXErrorUtil

std::string StripErrorPrefixes(const std::string& text) {
    static const std::string kOpen = "[Win32 error ";
    std::size_t pos = 0;
    for (;;) {
        if (text.compare(pos, kOpen.size(), kOpen) != 0) break;
        std::size_t digits = pos + kOpen.size();
        std::size_t end = digits;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
        if (end == digits || text.compare(end, 2, "] ") != 0) break;
        pos = end + 2;
    }
    return text.substr(pos);
}
