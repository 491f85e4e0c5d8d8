// What the command runner keeps of a command's output: a bounded part of
// each stream, so that a command printing without end cannot take the
// memory of the process that runs it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tqfw {

// The runner keeps at most this many bytes of each stream.
constexpr std::size_t kCaptureLimit = std::size_t{1} << 20;

// Appends to `*text` the first `limit` bytes given, counts the rest and
// forgets them.  finish() adds the line "(N more bytes)" (after a line break
// when the kept text does not end with one) when any were left out.
class OutputCapture {
public:
    OutputCapture(std::string* text, std::size_t limit = kCaptureLimit);

    void append(const char* data, std::size_t size);
    // Bytes that were counted but not kept.
    std::uint64_t dropped() const { return m_dropped; }
    // Adds the note once; later calls do nothing.
    void finish();

private:
    std::string* m_text;
    std::size_t m_limit;
    std::uint64_t m_dropped = 0;
    bool m_finished = false;
};

// "(N more bytes)".
std::string MoreBytesNote(std::uint64_t dropped);

}  // namespace tqfw
