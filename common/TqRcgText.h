// Reading numbers out of text the way the manager's callers and tools expect.
#pragma once

#include <climits>
#include <cstdlib>

// The decimal integer at the start of `text`, read as atoi reads it: leading
// white space, an optional sign, digits up to the first other character; 0
// without a number.  Values beyond the range of int are held at its limits
// instead of being undefined.
inline int ReadLeadingInt(const char* text) {
    const long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}
