#include "TqrcgTopView.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "TqrcgListText.h"
#include "rcg/RcgNames.h"

namespace tqrcg {

using TqRcgCtrllr::CpuTimeSource;
using TqRcgCtrllr::GroupFigures;

namespace {

constexpr int kCapWidth = 6;
constexpr int kUseWidth = 7;
constexpr int kThrottledWidth = 9;
constexpr int kProcessesWidth = 9;
constexpr int kGap = 2;
constexpr int kMaxBarWidth = 32;
constexpr int kMinBarWidth = 6;

// "used/limit", or "used" without a limit; empty without the figure.
std::string AgainstLimit(bool has, const std::string& used, const std::string& limit) {
    if (!has) return std::string();
    return limit.empty() || limit == "max" ? used : used + "/" + limit;
}

std::string KernelLimit(const GroupFigures& figures, TqRcgCtrllr::RcgProperty property, bool bytes) {
    const std::string& kernel = figures.kernelValue(property);
    return bytes ? KernelBytesText(kernel) : kernel;
}

void AddResourceFigures(const GroupFigures& figures, TopRow* row) {
    using TqRcgCtrllr::RcgProperty;
    row->memory = AgainstLimit(figures.hasMemory, TqRcgCtrllr::HumanBytes(figures.memoryBytes),
                               KernelLimit(figures, RcgProperty::kMemoryMax, true));
    if (figures.hasOomKills) row->oomKills = std::to_string(figures.oomKills);
    row->tasks = AgainstLimit(figures.hasTasks, std::to_string(figures.tasks),
                              KernelLimit(figures, RcgProperty::kPidsMax, false));
    if (figures.cpuPressure >= 0) row->cpuPressure = FormatPercent(figures.cpuPressure);
    if (figures.memoryPressure >= 0) row->memoryPressure = FormatPercent(figures.memoryPressure);
}

// The columns after PROCESSES that some row fills: title and width.
struct ExtraColumn {
    const char* title;
    std::string TopRow::*cell;
    int width;
};

std::vector<ExtraColumn> ExtraColumns(const std::vector<TopRow>& rows) {
    std::vector<ExtraColumn> all{{"MEMORY", &TopRow::memory, 0},
                                 {"OOM", &TopRow::oomKills, 0},
                                 {"TASKS", &TopRow::tasks, 0},
                                 {"CPU-PSI", &TopRow::cpuPressure, 0},
                                 {"MEM-PSI", &TopRow::memoryPressure, 0}};
    std::vector<ExtraColumn> shown;
    for (ExtraColumn column : all) {
        bool used = false;
        column.width = static_cast<int>(std::string(column.title).size());
        for (const TopRow& row : rows) {
            const std::string& cell = row.*column.cell;
            if (cell.empty() || !row.note.empty()) continue;
            used = true;
            column.width = std::max(column.width, static_cast<int>(cell.size()));
        }
        if (used) shown.push_back(column);
    }
    return shown;
}

int ExtraWidth(const std::vector<ExtraColumn>& columns) {
    int width = 0;
    for (const ExtraColumn& column : columns) width += column.width + kGap;
    return width;
}

TopRow FirstRow(const GroupFigures& figures, long processors) {
    TopRow row;
    row.name = TqRcgCtrllr::EscapeRcgName(figures.name);
    row.note = UnshownGroupNote(figures);
    if (!row.note.empty()) return row;
    row.capKnown = figures.hasCap;
    row.capPercent = TqRcgCtrllr::CapPercent(figures, processors);
    row.processes = figures.hasProcesses ? static_cast<long long>(figures.processes) : -1;
    row.useFromProcesses = figures.cpuSource == CpuTimeSource::kProcesses;
    AddResourceFigures(figures, &row);
    return row;
}

// Use and throttling between two samples of one group.
void AddInterval(const GroupFigures& before, const GroupFigures& after, double seconds, long processors,
                 TopRow* row) {
    if (before.state != GroupFigures::kPresent || seconds <= 0 || processors <= 0) return;
    if (before.cpuSource != CpuTimeSource::kNone && before.cpuSource == after.cpuSource) {
        // A sum over processes drops when one leaves: no use is shown below zero.
        const double used =
            after.cpuTimeNs > before.cpuTimeNs ? double(after.cpuTimeNs - before.cpuTimeNs) : 0.0;
        row->usePercent = 100.0 * used / 1e9 / seconds / double(processors);
    }
    if (before.hasThrottling && after.hasThrottling && after.periods >= before.periods &&
        after.throttledPeriods >= before.throttledPeriods) {
        row->throttledPercent = TqRcgCtrllr::ThrottledPercent(
            after.throttledPeriods - before.throttledPeriods, after.periods - before.periods);
    }
}

std::string Padded(const std::string& text, int width, bool right) {
    if (static_cast<int>(text.size()) >= width) return text;
    const std::string fill(static_cast<std::size_t>(width) - text.size(), ' ');
    return right ? fill + text : text + fill;
}

std::string Cut(const std::string& text, int width) {
    if (width <= 0) return std::string();
    if (static_cast<int>(text.size()) <= width) return text;
    return text.substr(0, static_cast<std::size_t>(width - 1)) + "~";
}

std::string OneDecimal(double percent) {
    char text[32];
    snprintf(text, sizeof(text), "%.1f%%", percent);
    return text;
}

// Sort value of a row under `sort`; rows without figures sort last.
double SortValue(const TopRow& row, TopSort sort) {
    switch (sort) {
        case TopSort::kUse:
            return row.usePercent;
        case TopSort::kCap:
            return row.capPercent < 0 && row.capKnown ? 1000.0 : row.capPercent;
        case TopSort::kThrottled:
            return row.throttledPercent;
        case TopSort::kProcesses:
            return double(row.processes);
        case TopSort::kName:
            break;
    }
    return 0;
}

std::string RowLine(const TopRow& row, int nameWidth, int barWidth, const std::vector<ExtraColumn>& extra) {
    const std::string gap(kGap, ' ');
    std::string line = Padded(Cut(row.name, nameWidth), nameWidth, false) + gap;
    if (!row.note.empty()) return line + row.note;
    const std::string cap = !row.capKnown ? "?" : row.capPercent < 0 ? "none" : FormatPercent(row.capPercent);
    std::string use = row.usePercent < 0 ? "-" : OneDecimal(row.usePercent);
    if (row.useFromProcesses && row.usePercent >= 0) use += "*";
    line += Padded(cap, kCapWidth, true) + gap + Padded(use, kUseWidth, true) + gap;
    if (barWidth > 0) line += UseBar(row.usePercent, row.capPercent, barWidth) + gap;
    line += Padded(row.throttledPercent < 0 ? "-" : OneDecimal(row.throttledPercent), kThrottledWidth, true) +
            gap;
    line += Padded(row.processes < 0 ? "?" : std::to_string(row.processes), kProcessesWidth, true);
    for (const ExtraColumn& column : extra) {
        const std::string& cell = row.*column.cell;
        line += gap + Padded(cell.empty() ? "-" : cell, column.width, true);
    }
    return line;
}

}  // namespace

const char* TopSortName(TopSort sort) {
    switch (sort) {
        case TopSort::kUse:
            return "use";
        case TopSort::kCap:
            return "cap";
        case TopSort::kThrottled:
            return "throttled";
        case TopSort::kProcesses:
            return "processes";
        case TopSort::kName:
            break;
    }
    return "name";
}

TopSort NextTopSort(TopSort sort) {
    switch (sort) {
        case TopSort::kUse:
            return TopSort::kCap;
        case TopSort::kCap:
            return TopSort::kThrottled;
        case TopSort::kThrottled:
            return TopSort::kProcesses;
        case TopSort::kProcesses:
            return TopSort::kName;
        case TopSort::kName:
            break;
    }
    return TopSort::kUse;
}

std::vector<TopRow> MakeFirstTopRows(const RecordedFigures& sample) {
    std::vector<TopRow> rows;
    rows.reserve(sample.groups.size());
    for (const GroupFigures& figures : sample.groups) rows.push_back(FirstRow(figures, sample.processors));
    return rows;
}

std::vector<TopRow> MakeTopRows(const RecordedFigures& before, const RecordedFigures& after, double seconds) {
    std::map<std::string, const GroupFigures*> earlier;
    for (const GroupFigures& figures : before.groups) earlier[figures.name] = &figures;
    std::vector<TopRow> rows;
    rows.reserve(after.groups.size());
    for (const GroupFigures& figures : after.groups) {
        TopRow row = FirstRow(figures, after.processors);
        const auto found = earlier.find(figures.name);
        if (row.note.empty() && found != earlier.end())
            AddInterval(*found->second, figures, seconds, after.processors, &row);
        rows.push_back(std::move(row));
    }
    return rows;
}

void SortTopRows(std::vector<TopRow>* rows, TopSort sort) {
    std::stable_sort(rows->begin(), rows->end(), [sort](const TopRow& a, const TopRow& b) {
        if (a.note.empty() != b.note.empty()) return a.note.empty();
        if (sort != TopSort::kName) {
            const double left = SortValue(a, sort), right = SortValue(b, sort);
            if (left != right) return left > right;
        }
        return a.name < b.name;
    });
}

std::string UseBar(double usePercent, double capPercent, int width) {
    const int inner = width - 2;
    if (inner <= 0) return std::string();
    const double full = capPercent > 0 ? capPercent : 100.0;
    const double share = usePercent <= 0 ? 0.0 : std::min(1.0, usePercent / full);
    const int filled = static_cast<int>(std::lround(share * inner));
    return "[" + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(inner - filled), '.') + "]";
}

std::vector<std::string> FormatTopScreen(const std::vector<TopRow>& rows, const TopHeader& header, int width,
                                         int height) {
    const std::vector<ExtraColumn> extra = ExtraColumns(rows);
    const int fixed = kCapWidth + kUseWidth + kThrottledWidth + kProcessesWidth + 5 * kGap + ExtraWidth(extra);
    int nameWidth = 5;
    for (const TopRow& row : rows) nameWidth = std::max(nameWidth, static_cast<int>(row.name.size()));
    nameWidth = std::min(nameWidth, std::max(5, width / 3));
    int barWidth = std::min(kMaxBarWidth, width - nameWidth - fixed);
    if (barWidth < kMinBarWidth) barWidth = 0;

    char title[256];
    snprintf(title, sizeof(title), "tqrcg top: %zu group%s, %ld processors (%s), every %g s, sorted by %s%s",
             rows.size(), rows.size() == 1 ? "" : "s", header.processors,
             header.hierarchy.c_str(), header.seconds, TopSortName(header.sort),
             header.live ? "; q quits, s changes the sort" : "");
    std::vector<std::string> lines{title};
    const std::string gap(kGap, ' ');
    std::string heads = Padded("GROUP", nameWidth, false) + gap + Padded("CAP", kCapWidth, true) + gap +
                        Padded("USE", kUseWidth, true) + gap;
    if (barWidth > 0) heads += Padded("USE OF CAP", barWidth, false) + gap;
    heads += Padded("THROTTLED", kThrottledWidth, true) + gap + Padded("PROCESSES", kProcessesWidth, true);
    for (const ExtraColumn& column : extra) heads += gap + Padded(column.title, column.width, true);
    lines.push_back(heads);

    const bool summed = std::any_of(rows.begin(), rows.end(), [](const TopRow& row) {
        return row.useFromProcesses && row.usePercent >= 0;
    });
    const std::string note = "* summed over the group's current processes (cpuacct is not mounted with cpu)";
    std::size_t room = rows.size();
    if (height > 0) {
        const int left = height - static_cast<int>(lines.size()) - (summed ? 1 : 0);
        room = left <= 0 ? 0 : static_cast<std::size_t>(left);
        if (room < rows.size()) room = room == 0 ? 0 : room - 1;
    }
    for (std::size_t i = 0; i < rows.size() && i < room; ++i)
        lines.push_back(RowLine(rows[i], nameWidth, barWidth, extra));
    if (room < rows.size() && (height <= 0 || static_cast<int>(lines.size()) < height))
        lines.push_back("... " + std::to_string(rows.size() - room) + " more groups");
    if (summed && (height <= 0 || static_cast<int>(lines.size()) < height)) lines.push_back(note);
    for (std::string& line : lines) {
        if (static_cast<int>(line.size()) > width) line.resize(static_cast<std::size_t>(std::max(0, width)));
    }
    return lines;
}

}  // namespace tqrcg
