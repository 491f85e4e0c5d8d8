#include "daemon/TqdMetrics.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "daemon/TqdConfig.h"

namespace tqd {

using TqRcgCtrllr::GroupFigures;
using TqRcgCtrllr::RcgProperty;

// ---- counting -------------------------------------------------------------

void RequestStats::served(const std::string& type, bool success, double seconds) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_counts.requests[std::make_pair(type, std::string(success ? "success" : "failure"))];
    std::size_t bucket = 0;
    while (bucket < kDurationBuckets.size() && seconds > kDurationBuckets[bucket]) ++bucket;
    if (bucket < kDurationBuckets.size()) ++m_counts.durationBuckets[bucket];
    ++m_counts.durationCount;
    m_counts.durationSum += seconds;
}

void RequestStats::peerRefused(const std::string& reason) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_counts.peersRefused[reason];
}

void RequestStats::frameRefused(const std::string& reason) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_counts.framesRefused[reason];
}

DaemonCounts RequestStats::snapshot() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_counts;
}

// ---- the text format ------------------------------------------------------

std::string LabelValue(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        if (c == '\\') {
            escaped += "\\\\";
        } else if (c == '"') {
            escaped += "\\\"";
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

namespace {

std::string Number(double value) {
    char text[64];
    snprintf(text, sizeof(text), "%.9g", value);
    return text;
}

// Appends the HELP and TYPE lines of a metric family.
void Family(std::string* text, const char* name, const char* type, const char* help) {
    *text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void Sample(std::string* text, const std::string& name, const std::string& labels, const std::string& value) {
    *text += name + (labels.empty() ? "" : "{" + labels + "}") + " " + value + "\n";
}

std::string GroupLabel(const GroupFigures& figures) { return "group=\"" + LabelValue(figures.name) + "\""; }

// One series of every group: its family and how a group's figures give its
// value (false: the group has none, and no sample is written).
struct GroupSeries {
    const char* name;
    const char* type;
    const char* help;
    std::function<bool(const GroupFigures&, long processors, std::string* value)> value;
};

// A property as the kernel holds it, as a number; "max" and the unreadable have none.
bool PropertyNumber(const GroupFigures& g, RcgProperty property, double scale, std::string* value) {
    const std::string& held = g.kernelValue(property);
    if (held.empty() || held == "max") return false;
    *value = Number(std::strtod(held.c_str(), nullptr) * scale);
    return true;
}

bool Counted(bool has, std::uint64_t count, std::string* value) {
    if (has) *value = std::to_string(count);
    return has;
}

const std::vector<GroupSeries>& GroupSeriesTable() {
    static const std::vector<GroupSeries> table = {
        {"tqrcgmgr_group_cpu_cap_ratio", "gauge",
         "CPU cap of the group as a share of the whole machine (1 is every processor); absent without a cap.",
         [](const GroupFigures& g, long processors, std::string* value) {
             const double percent = TqRcgCtrllr::CapPercent(g, processors);
             *value = Number(percent / 100.0);
             return percent >= 0;
         }},
        {"tqrcgmgr_group_cpu_periods_total", "counter", "CFS bandwidth periods of the group.",
         [](const GroupFigures& g, long, std::string* value) { return Counted(g.hasThrottling, g.periods, value); }},
        {"tqrcgmgr_group_cpu_throttled_periods_total", "counter",
         "CFS bandwidth periods in which the kernel throttled the group.",
         [](const GroupFigures& g, long, std::string* value) {
             return Counted(g.hasThrottling, g.throttledPeriods, value);
         }},
        {"tqrcgmgr_group_cpu_throttled_seconds_total", "counter", "Time for which the kernel throttled the group.",
         [](const GroupFigures& g, long, std::string* value) {
             *value = Number(g.throttledNs / 1e9);
             return g.hasThrottling;
         }},
        {"tqrcgmgr_group_cpu_bursts_total", "counter", "CFS bandwidth periods in which the group used its burst.",
         [](const GroupFigures& g, long, std::string* value) { return Counted(g.hasBursts, g.bursts, value); }},
        {"tqrcgmgr_group_processes", "gauge", "Processes in the group.",
         [](const GroupFigures& g, long, std::string* value) { return Counted(g.hasProcesses, g.processes, value); }},
        {"tqrcgmgr_group_tasks", "gauge", "Processes and threads the pids controller counts in the group.",
         [](const GroupFigures& g, long, std::string* value) { return Counted(g.hasTasks, g.tasks, value); }},
        {"tqrcgmgr_group_memory_bytes", "gauge", "Memory the group uses now.",
         [](const GroupFigures& g, long, std::string* value) { return Counted(g.hasMemory, g.memoryBytes, value); }},
        {"tqrcgmgr_group_memory_peak_bytes", "gauge", "The most memory the group has used.",
         [](const GroupFigures& g, long, std::string* value) {
             return Counted(g.hasMemoryPeak, g.memoryPeakBytes, value);
         }},
        {"tqrcgmgr_group_oom_kills_total", "counter", "Processes of the group that the OOM killer ended.",
         [](const GroupFigures& g, long, std::string* value) { return Counted(g.hasOomKills, g.oomKills, value); }},
        {"tqrcgmgr_group_cpu_pressure_ratio", "gauge",
         "Share of the last 10 s in which some of the group's processes waited for a processor.",
         [](const GroupFigures& g, long, std::string* value) {
             *value = Number(g.cpuPressure / 100.0);
             return g.cpuPressure >= 0;
         }},
        {"tqrcgmgr_group_memory_pressure_ratio", "gauge",
         "Share of the last 10 s in which some of the group's processes waited for memory.",
         [](const GroupFigures& g, long, std::string* value) {
             *value = Number(g.memoryPressure / 100.0);
             return g.memoryPressure >= 0;
         }},
        {"tqrcgmgr_group_memory_max_bytes", "gauge", "The group's memory limit (memory.max); absent without one.",
         [](const GroupFigures& g, long, std::string* value) {
             return PropertyNumber(g, RcgProperty::kMemoryMax, 1, value);
         }},
        {"tqrcgmgr_group_memory_high_bytes", "gauge",
         "The group's soft memory limit (memory.high); absent without one.",
         [](const GroupFigures& g, long, std::string* value) {
             return PropertyNumber(g, RcgProperty::kMemoryHigh, 1, value);
         }},
        {"tqrcgmgr_group_memory_swap_max_bytes", "gauge", "The group's swap limit; absent without one.",
         [](const GroupFigures& g, long, std::string* value) {
             return PropertyNumber(g, RcgProperty::kSwapMax, 1, value);
         }},
        {"tqrcgmgr_group_cpu_weight", "gauge", "The group's CPU weight (1 to 10000, 100 by default).",
         [](const GroupFigures& g, long, std::string* value) {
             return PropertyNumber(g, RcgProperty::kCpuWeight, 1, value);
         }},
        {"tqrcgmgr_group_cpu_burst_ratio", "gauge", "The group's CPU burst as a share of the whole machine.",
         [](const GroupFigures& g, long, std::string* value) {
             return PropertyNumber(g, RcgProperty::kCpuBurst, 0.01, value);
         }},
        {"tqrcgmgr_group_pids_max", "gauge", "The most processes and threads the group may hold; absent without a limit.",
         [](const GroupFigures& g, long, std::string* value) {
             return PropertyNumber(g, RcgProperty::kPidsMax, 1, value);
         }},
    };
    return table;
}

void GroupMetrics(std::string* text, const std::vector<GroupFigures>& groups, long processors) {
    std::vector<const GroupFigures*> present;
    for (const GroupFigures& figures : groups) {
        if (figures.state == GroupFigures::kPresent) present.push_back(&figures);
    }
    Family(text, "tqrcgmgr_group_cpu_usage_seconds_total", "counter",
           "CPU time used by the group's processes; source \"processes\" sums the processes in the group now.");
    for (const GroupFigures* g : present) {
        if (g->cpuSource == TqRcgCtrllr::CpuTimeSource::kNone) continue;
        Sample(text, "tqrcgmgr_group_cpu_usage_seconds_total",
               GroupLabel(*g) + ",source=\"" + CpuTimeSourceName(g->cpuSource) + "\"", Number(g->cpuTimeNs / 1e9));
    }
    for (const GroupSeries& series : GroupSeriesTable()) {
        Family(text, series.name, series.type, series.help);
        std::string value;
        for (const GroupFigures* g : present) {
            if (series.value(*g, processors, &value)) Sample(text, series.name, GroupLabel(*g), value);
        }
    }
}

void DurationHistogram(std::string* text, const DaemonCounts& counts) {
    const std::string name = "tqrcgmgr_tqd_request_duration_seconds";
    Family(text, name.c_str(), "histogram",
           "Time tqd took to serve a request, from its worker's start to the reply.");
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < kDurationBuckets.size(); ++i) {
        cumulative += counts.durationBuckets[i];
        Sample(text, name + "_bucket", "le=\"" + Number(kDurationBuckets[i]) + "\"",
               std::to_string(cumulative));
    }
    Sample(text, name + "_bucket", "le=\"+Inf\"", std::to_string(counts.durationCount));
    Sample(text, name + "_sum", "", Number(counts.durationSum));
    Sample(text, name + "_count", "", std::to_string(counts.durationCount));
}

void DaemonMetrics(std::string* text, const DaemonCounts& counts) {
    Family(text, "tqrcgmgr_tqd_requests_total", "counter", "Requests tqd served, by type and outcome.");
    for (const auto& entry : counts.requests) {
        Sample(text, "tqrcgmgr_tqd_requests_total",
               "type=\"" + LabelValue(entry.first.first) + "\",outcome=\"" + entry.first.second + "\"",
               std::to_string(entry.second));
    }
    DurationHistogram(text, counts);
    Family(text, "tqrcgmgr_tqd_peers_refused_total", "counter",
           "Connections whose peer tqd does not serve (not root nor an allowed uid, or not of this host).");
    std::uint64_t peers = 0;
    for (const auto& entry : counts.peersRefused) peers += entry.second;
    Sample(text, "tqrcgmgr_tqd_peers_refused_total", "", std::to_string(peers));
    Family(text, "tqrcgmgr_tqd_frames_refused_total", "counter",
           "Connections closed without a reply because their request frame was wrong or incomplete.");
    for (const char* reason : {"header", "incomplete"}) {
        const auto found = counts.framesRefused.find(reason);
        Sample(text, "tqrcgmgr_tqd_frames_refused_total", std::string("reason=\"") + reason + "\"",
               std::to_string(found == counts.framesRefused.end() ? 0 : found->second));
    }
}

}  // namespace

std::string FormatMetrics(const std::vector<GroupFigures>& groups, long processors,
                          const DaemonCounts& counts) {
    std::string text;
    GroupMetrics(&text, groups, processors);
    DaemonMetrics(&text, counts);
    return text;
}

// ---- settings ---------------------------------------------------------------

namespace {

std::string TrimmedBlanks(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    return first == std::string::npos ? std::string()
                                      : text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

bool MakeMetricsSettings(bool hasInterval, const std::string& interval, bool hasFolder,
                         const std::string& folder, MetricsSettings* settings, std::string* problem) {
    MetricsSettings made;
    made.folder = hasFolder ? TrimmedBlanks(folder) : std::string(kDefaultMetricsDir);
    if (hasInterval) {
        const std::string digits = TrimmedBlanks(interval);
        const bool number = !digits.empty() && digits.size() <= 5 &&
                            digits.find_first_not_of("0123456789") == std::string::npos;
        const long seconds = number ? std::stol(digits) : 0;
        if (seconds < 1 || seconds > 86400) {
            *problem = std::string("Session/") + kMetricsIntervalKey + " \"" + interval +
                       "\" is not a number of seconds from 1 to 86400";
            return false;
        }
        made.interval = std::chrono::seconds(seconds);
    }
    *settings = made;
    return true;
}

bool MakeMetricsSettings(const StoredSettings& stored, MetricsSettings* settings, std::string* problem) {
    return MakeMetricsSettings(stored.hasMetricsInterval, stored.metricsInterval, stored.hasMetricsDir,
                               stored.metricsDir, settings, problem);
}

}  // namespace tqd
