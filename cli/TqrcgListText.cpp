#include "TqrcgListText.h"

#include <algorithm>
#include <cstdio>

#include "TqrcgText.h"
#include "rcg/RcgNames.h"
#include "rcg/RcgQuota.h"

namespace tqrcg {

using TqRcgCtrllr::GroupFigures;
using TqRcgCtrllr::RememberedCap;

std::string UnshownGroupNote(const GroupFigures& figures) {
    if (figures.state == GroupFigures::kInvalidName) return "(not looked up: not a valid group name)";
    if (figures.state == GroupFigures::kMissing) return "(no longer exists)";
    return std::string();
}

std::string FormatSeconds(double seconds) {
    char text[64];
    snprintf(text, sizeof(text), "%.2fs", seconds);
    return text;
}

namespace {

bool RememberedPercent(const GroupFigures& figures, const std::vector<RememberedCap>& caps,
                       unsigned int* percent) {
    return TqRcgCtrllr::FindCap(caps, figures.name, percent);
}

}  // namespace

std::string RememberedText(const GroupFigures& figures, const std::vector<RememberedCap>& caps,
                           long processors) {
    unsigned int percent = 0;
    if (!figures.hasCap || !RememberedPercent(figures, caps, &percent)) return "-";
    const std::uint64_t wanted = TqRcgCtrllr::ComputeCpuQuota(percent, static_cast<int>(processors));
    const bool matches = figures.quotaUs >= 0 && figures.periodUs == TqRcgCtrllr::kCfsPeriodUs &&
                         static_cast<std::uint64_t>(figures.quotaUs) == wanted;
    return std::to_string(percent) + "%" + (matches ? "" : " (differs: restart tqd or cap again)");
}

ListRow MakeListRow(const GroupFigures& figures, const std::vector<RememberedCap>& caps, long processors) {
    ListRow row;
    row.name = TqRcgCtrllr::EscapeRcgName(figures.name);
    row.note = UnshownGroupNote(figures);
    if (!row.note.empty()) return row;
    row.cap = figures.hasCap
                  ? FormatCap(figures.quotaUs, static_cast<long long>(figures.periodUs), processors)
                  : "?";
    row.processes = figures.hasProcesses ? std::to_string(figures.processes) : "?";
    row.remembered = RememberedText(figures, caps, processors);
    if (figures.hasThrottling) {
        row.throttled =
            FormatPercent(TqRcgCtrllr::ThrottledPercent(figures.throttledPeriods, figures.periods));
        row.throttledTime = FormatSeconds(double(figures.throttledNs) / 1e9);
    } else {
        row.throttled = row.throttledTime = "?";
    }
    return row;
}

std::string FormatListTable(const std::vector<ListRow>& rows) {
    const std::vector<std::string> header{"GROUP",      "CAP",       "PROCESSES",
                                          "REMEMBERED", "THROTTLED", "THROTTLED-TIME"};
    std::vector<std::size_t> widths;
    for (const auto& title : header) widths.push_back(title.size());
    widths[1] = std::max<std::size_t>(widths[1], 6);
    for (const auto& row : rows) {
        widths[0] = std::max(widths[0], row.name.size());
        if (!row.note.empty()) continue;
        widths[1] = std::max(widths[1], row.cap.size());
        widths[2] = std::max(widths[2], row.processes.size());
        widths[3] = std::max(widths[3], row.remembered.size());
        widths[4] = std::max(widths[4], row.throttled.size());
    }
    auto line = [&widths](const std::vector<std::string>& cells) {
        std::string text;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            text += cells[i];
            if (i + 1 < cells.size())
                text += std::string(widths[i] - std::min(widths[i], cells[i].size()) + 2, ' ');
        }
        return text + "\n";
    };
    std::string text = line(header);
    for (const auto& row : rows) {
        text +=
            row.note.empty()
                ? line({row.name, row.cap, row.processes, row.remembered, row.throttled, row.throttledTime})
                : line({row.name, row.note});
    }
    return text;
}

nlohmann::ordered_json GroupJson(const GroupFigures& figures, const std::vector<RememberedCap>& caps,
                                 long processors) {
    using json = nlohmann::ordered_json;
    json object;
    object["group"] = figures.name;
    object["exists"] = figures.state == GroupFigures::kPresent;
    const bool present = figures.state == GroupFigures::kPresent;
    const bool capped = present && figures.hasCap && figures.quotaUs >= 0;
    const double capPercent = TqRcgCtrllr::CapPercent(figures, processors);
    object["cap_percent"] = capped && capPercent >= 0 ? json(capPercent) : json(nullptr);
    object["cap_quota_us"] = capped ? json(figures.quotaUs) : json(nullptr);
    object["cap_period_us"] = present && figures.hasCap ? json(figures.periodUs) : json(nullptr);
    unsigned int remembered = 0;
    object["remembered_cap_percent"] =
        present && RememberedPercent(figures, caps, &remembered) ? json(remembered) : json(nullptr);
    object["processes"] = present && figures.hasProcesses ? json(figures.processes) : json(nullptr);
    const bool hasCpu = present && figures.cpuSource != TqRcgCtrllr::CpuTimeSource::kNone;
    object["cpu_usage_seconds"] = hasCpu ? json(double(figures.cpuTimeNs) / 1e9) : json(nullptr);
    object["cpu_usage_source"] = hasCpu ? json(CpuTimeSourceName(figures.cpuSource)) : json(nullptr);
    const bool throttling = present && figures.hasThrottling;
    object["periods"] = throttling ? json(figures.periods) : json(nullptr);
    object["throttled_periods"] = throttling ? json(figures.throttledPeriods) : json(nullptr);
    object["throttled_share_percent"] =
        throttling ? json(TqRcgCtrllr::ThrottledPercent(figures.throttledPeriods, figures.periods))
                   : json(nullptr);
    object["throttled_seconds"] = throttling ? json(double(figures.throttledNs) / 1e9) : json(nullptr);
    object["processors"] = processors;
    std::string problem = figures.problem;
    if (figures.state == GroupFigures::kInvalidName) problem = "not a valid group name: not looked up";
    object["problem"] = problem.empty() ? json(nullptr) : json(problem);
    return object;
}

}  // namespace tqrcg
