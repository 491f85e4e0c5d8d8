#include "RcgFigures.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "RcgControlFiles.h"
#include "RcgNames.h"
#include "RcgQuota.h"

namespace TqRcgCtrllr {

const char* CpuTimeSourceName(CpuTimeSource source) {
    switch (source) {
        case CpuTimeSource::kCpuStat:
            return "cpu.stat";
        case CpuTimeSource::kCpuacct:
            return "cpuacct.usage";
        case CpuTimeSource::kProcesses:
            return "processes";
        case CpuTimeSource::kNone:
            break;
    }
    return "none";
}

double CapPercent(const GroupFigures& figures, long processors) {
    return figures.hasCap ? QuotaPercent(figures.quotaUs, figures.periodUs, processors) : -1.0;
}

double ThrottledPercent(std::uint64_t throttledPeriods, std::uint64_t periods) {
    return periods == 0 ? 0.0 : 100.0 * double(throttledPeriods) / double(periods);
}

namespace detail {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A run of digits from `begin` to `end` (exclusive); false when it is empty,
// holds another character or does not fit.
bool DigitsValue(const char* begin, const char* end, std::uint64_t* value) {
    if (begin == end) return false;
    std::uint64_t number = 0;
    for (const char* p = begin; p != end; ++p) {
        if (*p < '0' || *p > '9') return false;
        const std::uint64_t digit = static_cast<std::uint64_t>(*p - '0');
        if (number > (UINT64_MAX - digit) / 10) return false;
        number = number * 10 + digit;
    }
    *value = number;
    return true;
}

// The text without blanks and line breaks around it, as a [begin, end) pair.
void TrimmedRange(const std::string& text, const char** begin, const char** end) {
    const char* b = text.data();
    const char* e = b + text.size();
    while (b != e && IsBlank(*b)) ++b;
    while (e != b && IsBlank(e[-1])) --e;
    *begin = b;
    *end = e;
}

}  // namespace

bool FlatKeyedValue(const std::string& text, const std::string& key, std::uint64_t* value) {
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t lineEnd = text.find('\n', at);
        if (lineEnd == std::string::npos) lineEnd = text.size();
        if (lineEnd - at > key.size() && text.compare(at, key.size(), key) == 0 &&
            text[at + key.size()] == ' ') {
            const char* begin = text.data() + at + key.size() + 1;
            const char* end = text.data() + lineEnd;
            while (begin != end && IsBlank(*begin)) ++begin;
            while (end != begin && IsBlank(end[-1])) --end;
            return DigitsValue(begin, end, value);
        }
        at = lineEnd + 1;
    }
    return false;
}

bool ParseDecimalText(const std::string& text, std::uint64_t* value) {
    const char* begin;
    const char* end;
    TrimmedRange(text, &begin, &end);
    return DigitsValue(begin, end, value);
}

bool ParseSignedText(const std::string& text, std::int64_t* value) {
    const char* begin;
    const char* end;
    TrimmedRange(text, &begin, &end);
    const bool negative = begin != end && *begin == '-';
    std::uint64_t magnitude = 0;
    if (!DigitsValue(begin + (negative ? 1 : 0), end, &magnitude) || magnitude > INT64_MAX) return false;
    *value = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    return true;
}

bool ParseProcStatTicks(const std::string& text, std::uint64_t* ticks) {
    // After the command name: state (field 3) ... utime (14), stime (15).
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) return false;
    const char* p = text.data() + close + 1;
    const char* end = text.data() + text.size();
    std::uint64_t fields[2] = {0, 0};
    for (int field = 3; field <= 15; ++field) {
        while (p != end && *p == ' ') ++p;
        const char* start = p;
        while (p != end && *p != ' ' && *p != '\n') ++p;
        if (start == p) return false;
        if (field >= 14 && !DigitsValue(start, p, &fields[field - 14])) return false;
    }
    *ticks = fields[0] + fields[1];
    return true;
}

std::vector<unsigned long> ParseProcs(const std::string& text) {
    std::vector<unsigned long> pids;
    const char* p = text.data();
    const char* end = p + text.size();
    while (p != end) {
        const char* start = p;
        while (p != end && *p != '\n') ++p;
        std::uint64_t pid = 0;
        if (DigitsValue(start, p, &pid)) pids.push_back(static_cast<unsigned long>(pid));
        if (p != end) ++p;
    }
    return pids;
}

bool PressureSomeAvg10(const std::string& text, double* percent) {
    const std::size_t line = text.compare(0, 5, "some ") == 0 ? 0 : text.find("\nsome ");
    if (line == std::string::npos) return false;
    const std::size_t key = text.find("avg10=", line);
    const std::size_t lineEnd = text.find('\n', line + 1);
    if (key == std::string::npos || (lineEnd != std::string::npos && key > lineEnd)) return false;
    char* end = nullptr;
    const char* begin = text.c_str() + key + 6;
    const double value = std::strtod(begin, &end);
    if (end == begin || value < 0) return false;
    *percent = value;
    return true;
}

bool StartFigures(CgroupFs& fs, const std::string& name, const std::string& root, GroupFigures* figures,
                  std::string* folder, std::vector<unsigned long>* pids) {
    figures->name = name;
    RcgName checked;
    std::string problem;
    if (!ParseRcgName(name, &checked, &problem)) {
        figures->state = GroupFigures::kInvalidName;
        return false;
    }
    if (root.empty()) {
        figures->state = GroupFigures::kMissing;
        return false;
    }
    *folder = root + "/" + checked.path;
    // The processes first: a group whose folder is gone has no cgroup.procs.
    std::string text;
    const std::string procs = *folder + "/" + cgfile::core::kProcs;
    const int error = fs.readFile(procs, &text);
    if (error == ENOENT || error == ENOTDIR) {
        figures->state = GroupFigures::kMissing;
        return false;
    }
    if (error == 0) {
        *pids = ParseProcs(text);
        figures->hasProcesses = true;
        figures->processes = pids->size();
    } else {
        figures->problem = "cannot read " + procs + ": " + std::strerror(error);
    }
    return true;
}

void NoteProblem(GroupFigures* figures, const std::string& file) {
    if (figures->problem.empty()) figures->problem = "cannot read " + file;
}

void ReadMemoryFigures(CgroupFs& fs, const std::string& folder, bool v1, GroupFigures* figures) {
    namespace mem = cgfile::memory;
    std::string text;
    if (fs.readFile(folder + "/" + (v1 ? mem::kV1Usage : mem::kCurrent), &text) == 0 &&
        ParseDecimalText(text, &figures->memoryBytes))
        figures->hasMemory = true;
    if (fs.readFile(folder + "/" + (v1 ? mem::kV1MaxUsage : mem::kPeak), &text) == 0 &&
        ParseDecimalText(text, &figures->memoryPeakBytes))
        figures->hasMemoryPeak = true;
    if (fs.readFile(folder + "/" + (v1 ? mem::kV1OomControl : mem::kEvents), &text) == 0 &&
        FlatKeyedValue(text, mem::kOomKillKey, &figures->oomKills))
        figures->hasOomKills = true;
    if (!v1 && fs.readFile(folder + "/" + mem::kPressure, &text) == 0) PressureSomeAvg10(text, &figures->memoryPressure);
}

void ReadTaskFigures(CgroupFs& fs, const std::string& folder, GroupFigures* figures) {
    std::string text;
    if (fs.readFile(folder + "/" + cgfile::pids::kCurrent, &text) == 0 && ParseDecimalText(text, &figures->tasks))
        figures->hasTasks = true;
}

void ReadProcessCpuTime(CgroupFs& fs, const std::vector<unsigned long>& pids, long ticksPerSecond,
                        GroupFigures* figures) {
    if (!figures->hasProcesses) return;
    // A process may end between the listing and its stat: it counts as none.
    std::uint64_t ticks = 0;
    std::string text;
    for (unsigned long pid : pids) {
        std::uint64_t own = 0;
        if (fs.readFile("/proc/" + std::to_string(pid) + "/stat", &text) == 0 && ParseProcStatTicks(text, &own))
            ticks += own;
    }
    const std::uint64_t perSecond = static_cast<std::uint64_t>(ticksPerSecond > 0 ? ticksPerSecond : 100);
    figures->cpuSource = CpuTimeSource::kProcesses;
    figures->cpuTimeNs = ticks * (1000000000ull / perSecond);
}

}  // namespace detail
}  // namespace TqRcgCtrllr
