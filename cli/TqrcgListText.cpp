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

using TqRcgCtrllr::RcgProperty;
using TqRcgCtrllr::RcgSetting;
using TqRcgCtrllr::RcgValue;
using TqRcgCtrllr::RememberedSetting;

std::string PressureText(double percent) { return percent < 0 ? std::string() : FormatPercent(percent); }

std::string SettingsText(const GroupFigures& figures, const std::vector<RememberedSetting>& settings) {
    std::string text;
    for (const RcgSetting& setting : TqRcgCtrllr::SettingsOf(settings, figures.name))
        text += (text.empty() ? "" : " ") + SettingText(setting, figures);
    return text;
}

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

bool KernelNumber(const std::string& kernel, std::uint64_t* number) {
    return kernel.find_first_not_of("0123456789") == std::string::npos &&
           TqRcgCtrllr::detail::ParseDecimalText(kernel, number);
}

std::string KernelBytesText(const std::string& kernel) {
    std::uint64_t bytes = 0;
    return KernelNumber(kernel, &bytes) ? TqRcgCtrllr::HumanBytes(bytes) : kernel;
}

std::string KernelShortForm(RcgProperty property, const std::string& kernel) {
    std::uint64_t number = 0;
    if (TqRcgCtrllr::PropertyInfo(property).kind != TqRcgCtrllr::RcgValueKind::kSize ||
        !KernelNumber(kernel, &number))
        return kernel;
    return TqRcgCtrllr::FormatRcgValue(property, RcgValue{RcgValue::kNumber, number, ""});
}

std::string SettingText(const RcgSetting& setting, const GroupFigures& figures) {
    const std::string asked = TqRcgCtrllr::FormatRcgSetting(setting);
    const std::string& kernel = figures.kernelValue(setting.property);
    if (kernel.empty()) return asked + "[kernel:?]";
    if (setting.value.kind == RcgValue::kPercent) return asked + "[" + KernelBytesText(kernel) + "]";
    const std::string held = KernelShortForm(setting.property, kernel);
    if (held == TqRcgCtrllr::FormatRcgValue(setting.property, setting.value)) return asked;
    return asked + "[kernel:" + held + "]";
}

ListRow MakeListRow(const GroupFigures& figures, const std::vector<RememberedCap>& caps, long processors,
                    const std::vector<RememberedSetting>& settings) {
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
    if (figures.hasMemory) row.memory = TqRcgCtrllr::HumanBytes(figures.memoryBytes);
    if (figures.hasMemoryPeak) row.memoryPeak = TqRcgCtrllr::HumanBytes(figures.memoryPeakBytes);
    if (figures.hasOomKills) row.oomKills = std::to_string(figures.oomKills);
    if (figures.hasTasks) row.tasks = std::to_string(figures.tasks);
    row.cpuPressure = PressureText(figures.cpuPressure);
    row.memoryPressure = PressureText(figures.memoryPressure);
    row.settings = SettingsText(figures, settings);
    return row;
}

namespace {

// The cells of a row in the order of the header; a row with a note has its
// name and the note.
std::vector<std::string> Cells(const ListRow& row) {
    if (!row.note.empty()) return {row.name, row.note};
    return {row.name,   row.cap,        row.processes,  row.remembered, row.throttled,   row.throttledTime,
            row.memory, row.memoryPeak, row.oomKills,   row.tasks,      row.cpuPressure, row.memoryPressure,
            row.settings};
}

// The first columns always show; the others where some row has a value.
constexpr std::size_t kAlwaysShown = 6;

}  // namespace

std::string FormatListTable(const std::vector<ListRow>& rows) {
    const std::vector<std::string> header{"GROUP",  "CAP",       "PROCESSES", "REMEMBERED",   "THROTTLED",
                                          "THROTTLED-TIME", "MEMORY", "PEAK", "OOM-KILLS", "TASKS",
                                          "CPU-PRESSURE", "MEM-PRESSURE", "SETTINGS"};
    std::vector<std::size_t> widths;
    for (const auto& title : header) widths.push_back(title.size());
    widths[1] = std::max<std::size_t>(widths[1], 6);
    std::vector<bool> shown(header.size(), false);
    for (std::size_t i = 0; i < kAlwaysShown; ++i) shown[i] = true;
    for (const auto& row : rows) {
        const std::vector<std::string> cells = Cells(row);
        widths[0] = std::max(widths[0], row.name.size());
        if (!row.note.empty()) continue;
        for (std::size_t i = 1; i < cells.size(); ++i) {
            widths[i] = std::max(widths[i], cells[i].size());
            if (!cells[i].empty()) shown[i] = true;
        }
    }
    // A missing figure in a shown column: "-".
    auto line = [&widths, &shown](std::vector<std::string> cells, bool figures) {
        std::vector<std::string> kept;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (!figures || shown[i]) kept.push_back(figures && cells[i].empty() ? "-" : cells[i]);
        }
        std::vector<std::size_t> keptWidths;
        for (std::size_t i = 0; i < widths.size(); ++i) {
            if (!figures || shown[i]) keptWidths.push_back(widths[i]);
        }
        std::string text;
        for (std::size_t i = 0; i < kept.size(); ++i) {
            text += kept[i];
            if (i + 1 < kept.size())
                text += std::string(keptWidths[i] - std::min(keptWidths[i], kept[i].size()) + 2, ' ');
        }
        return text + "\n";
    };
    std::string text = line(header, true);
    for (const auto& row : rows) text += line(Cells(row), row.note.empty());
    return text;
}

}  // namespace tqrcg
