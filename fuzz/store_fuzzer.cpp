// The store's text: parsing, looking up, setting a value and reading a
// decimal.  Input: the store text, then NUL, section, NUL, key, NUL, value
// (split at the last three NULs; without them the whole input is the text
// and a fixed key is set).
//
// Besides the sanitizers it checks that the lines cover the text in order,
// that a value set is found again with exactly that value, that every other
// value of the text keeps its value, and that the decimal reader agrees with
// a plain reference.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/StoreText.h"

namespace {

using tqfw::StoreLine;

[[noreturn]] void Finding(const char* what, const std::string& detail) {
    std::fprintf(stderr, "FINDING: %s: %s\n", what, detail.c_str());
    std::abort();
}

void CheckLines(const std::string& text, const std::vector<StoreLine>& lines) {
    std::size_t at = 0;
    for (const StoreLine& line : lines) {
        if (line.begin != at || line.end < line.begin || line.end > text.size()) Finding("line bounds", text);
        if (line.hasNewline != (line.end < text.size())) Finding("line break", text);
        if (line.hasNewline && text[line.end] != '\n') Finding("line break", text);
        if (line.kind == StoreLine::Value && (line.equals <= line.begin || line.equals >= line.end ||
                                              text[line.equals] != '=')) {
            Finding("value line", text);
        }
        at = line.hasNewline ? line.end + 1 : line.end;
    }
    if (at != text.size()) Finding("lines do not cover the text", text);
}

// Whether `text` is blanks, digits, blanks with at least one digit and a
// value below 2^64: the reference reading of ParseUnsignedDecimal.
bool ReferenceDecimal(const std::string& text, std::uint64_t* value) {
    std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return false;
    std::size_t last = text.find_last_not_of(" \t");
    const std::string digits = text.substr(first, last - first + 1);
    if (digits.find_first_not_of("0123456789") != std::string::npos) return false;
    const std::string trimmed = digits.substr(std::min(digits.find_first_not_of('0'), digits.size() - 1));
    if (trimmed.size() > 20 || (trimmed.size() == 20 && trimmed > "18446744073709551615")) return false;
    *value = std::strtoull(trimmed.c_str(), nullptr, 10);
    return true;
}

struct Parts {
    std::string text, section, key, value;
};

Parts Split(const std::string& input) {
    Parts parts{input, "Base", "sTQRCGMGRGROUPS", " web"};
    const std::size_t third = input.rfind('\0');
    if (third == std::string::npos || third == 0) return parts;
    const std::size_t second = input.rfind('\0', third - 1);
    if (second == std::string::npos || second == 0) return parts;
    const std::size_t first = input.rfind('\0', second - 1);
    if (first == std::string::npos) return parts;
    return Parts{input.substr(0, first), input.substr(first + 1, second - first - 1),
                 input.substr(second + 1, third - second - 1), input.substr(third + 1)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Parts parts = Split(std::string(reinterpret_cast<const char*>(data), size));
    const std::vector<StoreLine> lines = tqfw::ParseStoreText(parts.text);
    CheckLines(parts.text, lines);

    std::uint64_t number = 0, reference = 0;
    const bool parsed = tqfw::ParseUnsignedDecimal(parts.value, &number);
    if (parsed != ReferenceDecimal(parts.value, &reference) || (parsed && number != reference)) {
        Finding("decimal reader", parts.value);
    }

    if (!tqfw::ValidSectionName(parts.section) || !tqfw::ValidKey(parts.key) || !tqfw::ValidValue(parts.value)) {
        return 0;
    }
    const std::string written = tqfw::SetStoreValue(parts.text, parts.section, parts.key, parts.value);
    const std::vector<StoreLine> writtenLines = tqfw::ParseStoreText(written);
    CheckLines(written, writtenLines);
    std::string found;
    if (!tqfw::FindStoreValue(written, writtenLines, parts.section, parts.key, &found) || found != parts.value) {
        Finding("the value set is not read back", written);
    }
    // Every other value keeps its value.
    for (const StoreLine& line : lines) {
        if (line.kind != StoreLine::Value) continue;
        const std::string key = parts.text.substr(line.begin, line.equals - line.begin);
        if (line.section == parts.section && key == parts.key) continue;
        std::string before, after;
        tqfw::FindStoreValue(parts.text, lines, line.section, key, &before);
        if (!tqfw::FindStoreValue(written, writtenLines, line.section, key, &after) || before != after) {
            Finding("another value changed", line.section + "/" + key);
        }
    }
    return 0;
}
