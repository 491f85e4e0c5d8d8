#include "TqrcgText.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "host/CQiError.h"
#include "host/TqProcess.h"
#include "rcg/RcgHierarchy.h"
#include "rcg/RcgQuota.h"
#include "rcg/RcgRecord.h"
#include "service/TqRcgClient.h"

namespace tqrcg {

std::vector<std::string> ParseGroupList(const std::string& value) {
    return TqRcgCtrllr::ParseGroupNames(value);
}

std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

bool ParseCggetValues(const std::string& output, std::vector<long long>* values) {
    values->clear();
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty()) continue;
        errno = 0;
        char* end = nullptr;
        const long long value = std::strtoll(line.c_str(), &end, 10);
        if (end == line.c_str() || *end != '\0' || errno == ERANGE) return false;
        values->push_back(value);
    }
    return true;
}

std::string FormatPercent(double percent) {
    char text[64];
    const double tenths = double(static_cast<long long>(percent * 10.0 + 0.5));
    if (static_cast<long long>(tenths) % 10 == 0) {
        snprintf(text, sizeof(text), "%.0f%%", tenths / 10.0);
    } else {
        snprintf(text, sizeof(text), "%.1f%%", tenths / 10.0);
    }
    return text;
}

std::string FormatCap(long long quotaUs, long long periodUs, long processors) {
    if (quotaUs < 0) return "none";
    if (periodUs <= 0 || processors <= 0) return "?";
    return FormatPercent(TqRcgCtrllr::QuotaPercent(quotaUs, static_cast<std::uint64_t>(periodUs), processors));
}

bool ParseDecimal(const std::string& text, unsigned long min, unsigned long max, unsigned long* value) {
    if (text.empty() || text.size() > 19) return false;
    unsigned long number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        number = number * 10 + static_cast<unsigned long>(c - '0');
    }
    if (number < min || number > max) return false;
    *value = number;
    return true;
}

std::size_t CountLines(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    std::size_t count = 0;
    while (std::getline(lines, line)) {
        if (!line.empty()) ++count;
    }
    return count;
}

std::string CpuMountPoint(const std::string& mounts) {
    return TqRcgCtrllr::ParseCgroupMounts(mounts).cpuV1;
}

std::string FailureText(const std::string& errorText, std::uint64_t port) {
    std::string message = StripErrorPrefixes(errorText);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
    if (message == kTqRcgConnectFailedMessage) {
        return "tqd is not running on port " + std::to_string(port) +
               ": start it with `service tqd start` or `tqd --foreground &`";
    }
    if (message.empty()) return "tqd gave no answer (it closed the connection or timed out)";
    return message;
}

int ExitStatusOf(int waitStatus) {
    const int result = tqfw::ResultOfWaitStatus(waitStatus);
    return result < 0 ? kExitFailure : result;
}

}  // namespace tqrcg
