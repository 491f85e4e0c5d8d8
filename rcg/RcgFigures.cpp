#include "RcgFigures.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "RcgHierarchy.h"
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

bool FindGroupsPlace(CgroupFs& fs, GroupsPlace* place, std::string* problem) {
    const Hierarchy hierarchy = ChooseHierarchy(fs);
    GroupsPlace found;
    switch (hierarchy.kind) {
        case Hierarchy::kCgroup2WithoutCpu:
            *problem = CpuUnavailableText(hierarchy);
            return false;
        case Hierarchy::kCgroup2: {
            const std::string base = Cgroup2Base(problem);
            if (base.empty()) return false;
            found.cgroup2 = true;
            found.groupsRoot = hierarchy.mount + "/" + base;
            found.processors = fs.onlineProcessors();
            *place = found;
            return true;
        }
        case Hierarchy::kV1:
            break;
    }
    std::string table;
    fs.readFile("/proc/self/mounts", &table);
    const CgroupMounts mounts = ParseCgroupMounts(table);
    found.groupsRoot = mounts.cpuV1;
    found.cpuacctShared = mounts.cpuV1WithCpuacct;
    found.processors = fs.usableProcessors();
    *place = found;
    return true;
}

FiguresReader::FiguresReader(CgroupFs& fs, GroupsPlace place, long ticksPerSecond)
    : m_fs(fs), m_place(std::move(place)), m_ticksPerSecond(ticksPerSecond > 0 ? ticksPerSecond : 100) {}

GroupFigures FiguresReader::read(const std::string& name) {
    GroupFigures figures;
    figures.name = name;
    RcgName checked;
    std::string problem;
    if (!ParseRcgName(name, &checked, &problem)) {
        figures.state = GroupFigures::kInvalidName;
        return figures;
    }
    if (m_place.groupsRoot.empty()) {
        figures.state = GroupFigures::kMissing;
        return figures;
    }
    const std::string folder = m_place.groupsRoot + "/" + checked.path;
    // The processes first: a group whose folder is gone has no cgroup.procs.
    const int error = m_fs.readFile(folder + "/cgroup.procs", &m_text);
    if (error == ENOENT || error == ENOTDIR) {
        figures.state = GroupFigures::kMissing;
        return figures;
    }
    std::vector<unsigned long> pids;
    if (error == 0) {
        pids = ParseProcs(m_text);
        figures.hasProcesses = true;
        figures.processes = pids.size();
    } else {
        figures.problem = "cannot read " + folder + "/cgroup.procs: " + std::strerror(error);
    }
    readCap(folder, &figures);
    readThrottling(folder, &figures);
    readCpuTime(folder, pids, &figures);
    return figures;
}

void FiguresReader::readCap(const std::string& folder, GroupFigures* figures) {
    if (m_place.cgroup2) {
        CpuMax value;
        if (m_fs.readFile(folder + "/cpu.max", &m_text) == 0 && ParseCpuMax(m_text, &value)) {
            figures->hasCap = true;
            figures->quotaUs = value.unlimited ? -1 : static_cast<std::int64_t>(value.quotaUs);
            figures->periodUs = value.periodUs;
            return;
        }
        if (figures->problem.empty()) figures->problem = "cannot read " + folder + "/cpu.max";
        return;
    }
    std::int64_t quota = 0;
    std::uint64_t period = 0;
    if (m_fs.readFile(folder + "/cpu.cfs_quota_us", &m_text) == 0 && ParseSignedText(m_text, &quota) &&
        m_fs.readFile(folder + "/cpu.cfs_period_us", &m_text) == 0 && ParseDecimalText(m_text, &period)) {
        figures->hasCap = true;
        figures->quotaUs = quota < 0 ? -1 : quota;
        figures->periodUs = period;
        return;
    }
    if (figures->problem.empty()) figures->problem = "cannot read " + folder + "/cpu.cfs_quota_us";
}

void FiguresReader::readThrottling(const std::string& folder, GroupFigures* figures) {
    if (m_fs.readFile(folder + "/cpu.stat", &m_text) != 0) {
        if (figures->problem.empty()) figures->problem = "cannot read " + folder + "/cpu.stat";
        return;
    }
    std::uint64_t throttled = 0;
    const bool timeFound = m_place.cgroup2 ? FlatKeyedValue(m_text, "throttled_usec", &throttled)
                                           : FlatKeyedValue(m_text, "throttled_time", &throttled);
    if (FlatKeyedValue(m_text, "nr_periods", &figures->periods) &&
        FlatKeyedValue(m_text, "nr_throttled", &figures->throttledPeriods) && timeFound) {
        figures->hasThrottling = true;
        figures->throttledNs = m_place.cgroup2 ? throttled * 1000 : throttled;
    }
    std::uint64_t usageUs = 0;
    if (m_place.cgroup2 && FlatKeyedValue(m_text, "usage_usec", &usageUs)) {
        figures->cpuSource = CpuTimeSource::kCpuStat;
        figures->cpuTimeNs = usageUs * 1000;
    }
}

void FiguresReader::readCpuTime(const std::string& folder, const std::vector<unsigned long>& pids,
                                GroupFigures* figures) {
    if (m_place.cgroup2) return;  // from cpu.stat, with the throttling
    std::uint64_t usage = 0;
    if (m_place.cpuacctShared) {
        if (m_fs.readFile(folder + "/cpuacct.usage", &m_text) == 0 && ParseDecimalText(m_text, &usage)) {
            figures->cpuSource = CpuTimeSource::kCpuacct;
            figures->cpuTimeNs = usage;
        }
        return;
    }
    if (!figures->hasProcesses) return;
    // A process may end between the listing and its stat: it counts as none.
    std::uint64_t ticks = 0;
    for (unsigned long pid : pids) {
        std::uint64_t own = 0;
        if (m_fs.readFile("/proc/" + std::to_string(pid) + "/stat", &m_text) == 0 &&
            ParseProcStatTicks(m_text, &own)) {
            ticks += own;
        }
    }
    figures->cpuSource = CpuTimeSource::kProcesses;
    figures->cpuTimeNs = ticks * (1000000000ull / static_cast<std::uint64_t>(m_ticksPerSecond));
}

}  // namespace detail
}  // namespace TqRcgCtrllr
