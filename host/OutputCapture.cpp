#include "host/OutputCapture.h"

#include <algorithm>

namespace tqfw {

OutputCapture::OutputCapture(std::string* text, std::size_t limit) : m_text(text), m_limit(limit) {}

void OutputCapture::append(const char* data, std::size_t size) {
    const std::size_t room = m_text->size() < m_limit ? m_limit - m_text->size() : 0;
    const std::size_t kept = std::min(room, size);
    m_text->append(data, kept);
    m_dropped += size - kept;
}

void OutputCapture::finish() {
    if (m_finished) return;
    m_finished = true;
    if (m_dropped == 0) return;
    if (!m_text->empty() && m_text->back() != '\n') *m_text += '\n';
    *m_text += MoreBytesNote(m_dropped) + "\n";
}

std::string MoreBytesNote(std::uint64_t dropped) { return "(" + std::to_string(dropped) + " more bytes)"; }

}  // namespace tqfw
