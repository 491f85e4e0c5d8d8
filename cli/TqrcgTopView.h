// The pure part of `tqrcg top`: two samples of the groups' figures become
// one line per group (cap, CPU use over the interval with a bar against the
// cap, throttled share of the interval's periods, processes), sorted, and
// the lines of a screen of a given size.  The live view and `top --once`
// show the same lines.
#pragma once

#include <string>
#include <vector>

#include "TqrcgCommands.h"

namespace tqrcg {

enum class TopSort { kUse, kCap, kThrottled, kProcesses, kName };
// "use", "cap", "throttled", "processes", "name".
const char* TopSortName(TopSort sort);
// The key that `s` changes to: use, cap, throttled, processes, name, use...
TopSort NextTopSort(TopSort sort);

struct TopRow {
    std::string name;        // escaped for the screen
    std::string note;        // not empty: the group is not there (no figures)
    double capPercent = -1;  // negative: no cap, or not known
    bool capKnown = false;
    double usePercent = -1;         // of the machine over the interval; negative: not known
    bool useFromProcesses = false;  // summed over the group's current processes
    double throttledPercent = -1;   // of the interval's periods; negative: not known
    long long processes = -1;       // negative: not known
    // Where the kernel has them (else empty): memory in use against
    // memory.max ("12.0M/64.0M"), OOM kills, tasks against pids.max
    // ("3/20"), and the "some avg10" pressure of CPU and memory.
    std::string memory, oomKills, tasks, cpuPressure, memoryPressure;
};

// The rows of the groups of `after`, with their use and throttling between
// `before` and `after`, taken `seconds` apart.  A group missing from
// `before` shows no use yet.
std::vector<TopRow> MakeTopRows(const RecordedFigures& before, const RecordedFigures& after, double seconds);
// The rows of one sample alone: caps and processes, no use yet.
std::vector<TopRow> MakeFirstTopRows(const RecordedFigures& sample);

// Sorted by the key, biggest first (names in order), groups without
// figures last.
void SortTopRows(std::vector<TopRow>* rows, TopSort sort);

struct TopHeader {
    long processors = 0;
    std::string hierarchy = "cgroup v1";  // "cgroup v1" or "cgroup2"
    double seconds = 1;
    TopSort sort = TopSort::kUse;
    bool live = true;  // adds the keys' help
};

// The screen: a title line, the column heads, one line per row and, when
// some use was summed over processes, a note.  MEMORY, OOM, TASKS, CPU-PSI
// and MEM-PSI follow PROCESSES where some row has them.  No line is longer than
// `width`; with `height` > 0 the rows that do not fit are counted on the
// last line instead.
std::vector<std::string> FormatTopScreen(const std::vector<TopRow>& rows, const TopHeader& header, int width,
                                         int height);

// The bar of a use against its cap: `width` characters "[###.....]" whose
// filled part is the use's share of the cap (of the machine without a cap).
std::string UseBar(double usePercent, double capPercent, int width);

}  // namespace tqrcg
