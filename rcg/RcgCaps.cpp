#include "RcgCaps.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sstream>

#include "RcgNames.h"

namespace TqRcgCtrllr {

namespace {

std::string Format(const std::vector<RememberedCap>& caps) {
    std::string value;
    for (const auto& cap : caps) value += " " + cap.name + "=" + std::to_string(cap.percent);
    return value;
}

}  // namespace

std::vector<RememberedCap> ParseCaps(const std::string& value) {
    std::vector<RememberedCap> caps;
    std::istringstream entries(value);
    std::string entry;
    while (entries >> entry) {
        const std::size_t equals = entry.rfind('=');
        if (equals == std::string::npos || equals == 0 || equals + 1 == entry.size()) continue;
        const std::string number = entry.substr(equals + 1);
        if (number.find_first_not_of("0123456789") != std::string::npos) continue;
        errno = 0;
        const unsigned long percent = std::strtoul(number.c_str(), nullptr, 10);
        if (errno != 0 || percent > UINT_MAX) continue;
        caps.push_back(RememberedCap{entry.substr(0, equals), static_cast<unsigned int>(percent)});
    }
    return caps;
}

std::string WithCap(const std::string* value, const std::string& name, unsigned int percent) {
    std::vector<RememberedCap> caps = value ? ParseCaps(*value) : std::vector<RememberedCap>();
    bool replaced = false;
    std::vector<RememberedCap> kept;
    for (const auto& cap : caps) {
        if (!detail::SameRcgGroup(cap.name, name)) {
            kept.push_back(cap);
        } else if (!replaced) {
            kept.push_back(RememberedCap{name, percent});
            replaced = true;
        }
    }
    if (!replaced) kept.push_back(RememberedCap{name, percent});
    return Format(kept);
}

std::string WithoutCap(const std::string* value, const std::string& name) {
    std::vector<RememberedCap> kept;
    if (value) {
        for (const auto& cap : ParseCaps(*value)) {
            if (!detail::SameRcgGroup(cap.name, name)) kept.push_back(cap);
        }
    }
    return Format(kept);
}

bool FindCap(const std::vector<RememberedCap>& caps, const std::string& name, unsigned int* percent) {
    for (const auto& cap : caps) {
        if (detail::SameRcgGroup(cap.name, name)) {
            *percent = cap.percent;
            return true;
        }
    }
    return false;
}

}  // namespace TqRcgCtrllr
