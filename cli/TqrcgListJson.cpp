#include "TqrcgListJson.h"

#include <cstddef>
#include <nlohmann/json.hpp>
#include <vector>

#include "rcg/RcgCaps.h"
#include "rcg/RcgFigures.h"
#include "rcg/RcgProperties.h"
#include "rcg/RcgSettings.h"

namespace tqrcg {

using TqRcgCtrllr::GroupFigures;
using TqRcgCtrllr::RcgSetting;
using TqRcgCtrllr::RememberedCap;
using TqRcgCtrllr::RememberedSetting;

namespace {

nlohmann::ordered_json GroupJson(const GroupFigures& figures, const std::vector<RememberedCap>& caps,
                                 long processors, const std::vector<RememberedSetting>& settings) {
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
        present && TqRcgCtrllr::FindCap(caps, figures.name, &remembered) ? json(remembered) : json(nullptr);
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
    object["memory_bytes"] = present && figures.hasMemory ? json(figures.memoryBytes) : json(nullptr);
    object["memory_peak_bytes"] = present && figures.hasMemoryPeak ? json(figures.memoryPeakBytes) : json(nullptr);
    object["oom_kills"] = present && figures.hasOomKills ? json(figures.oomKills) : json(nullptr);
    object["tasks"] = present && figures.hasTasks ? json(figures.tasks) : json(nullptr);
    object["cpu_pressure_some_avg10_percent"] =
        present && figures.cpuPressure >= 0 ? json(figures.cpuPressure) : json(nullptr);
    object["memory_pressure_some_avg10_percent"] =
        present && figures.memoryPressure >= 0 ? json(figures.memoryPressure) : json(nullptr);
    const std::vector<RcgSetting> asked = TqRcgCtrllr::SettingsOf(settings, figures.name);
    json properties = json::object();
    for (const TqRcgCtrllr::RcgPropertyInfo& info : TqRcgCtrllr::RcgProperties()) {
        json property;
        property["asked"] = nullptr;
        for (const RcgSetting& setting : asked) {
            if (setting.property == info.property)
                property["asked"] = TqRcgCtrllr::FormatRcgValue(setting.property, setting.value);
        }
        const std::string& kernel = figures.kernelValue(info.property);
        property["kernel"] = present && !kernel.empty() ? json(kernel) : json(nullptr);
        properties[info.name] = property;
    }
    object["properties"] = properties;
    object["processors"] = processors;
    std::string problem = figures.problem;
    if (figures.state == GroupFigures::kInvalidName) problem = "not a valid group name: not looked up";
    object["problem"] = problem.empty() ? json(nullptr) : json(problem);
    return object;
}

}  // namespace

std::string FormatListJson(const RecordedFigures& figures) {
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const GroupFigures& group : figures.groups)
        array.push_back(GroupJson(group, figures.caps, figures.processors, figures.settings));
    // ASCII only: JSON escapes the C0 controls, ensure_ascii everything
    // from DEL up, C1 controls included, so that no name read from the
    // store acts on a terminal; bytes that are not UTF-8 become U+FFFD.
    return array.dump(2, ' ', true, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace tqrcg
