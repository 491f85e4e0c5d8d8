// The pure part of `tqrcg list`: a group's figures as the columns of its
// line (its JSON is TqrcgListJson's).
#pragma once

#include <string>
#include <vector>

#include "rcg/RcgCaps.h"
#include "rcg/RcgFigures.h"
#include "rcg/RcgSettings.h"
#include "TqrcgText.h"

namespace tqrcg {

// Why a listed group has no figures to show ("(no longer exists)", or a
// name the controller would refuse); empty when it has them.
std::string UnshownGroupNote(const TqRcgCtrllr::GroupFigures& figures);
// Seconds with two decimals: "0.00s", "12.34s".
std::string FormatSeconds(double seconds);

// The remembered cap beside the quota ("30%"), marked when the quota is no
// longer that cap's share of today's machine; "-" for none.
std::string RememberedText(const TqRcgCtrllr::GroupFigures& figures,
                           const std::vector<TqRcgCtrllr::RememberedCap>& caps, long processors);

// A kernel value (GroupFigures::properties) that is a plain number: bytes,
// a weight or a count; false for "max", a share, a list or nothing.
bool KernelNumber(const std::string& kernel, std::uint64_t* number);
// A kernel value in bytes for people ("64.0M"); other values as they are.
std::string KernelBytesText(const std::string& kernel);

// A kernel value (GroupFigures::properties) in the short form the property
// is asked in: sizes in the largest unit that holds them whole ("64M").
std::string KernelShortForm(TqRcgCtrllr::RcgProperty property, const std::string& kernel);

// One remembered setting beside what the kernel holds: "memory.max=64M"
// when the kernel holds it, "memory.max=64M[kernel:32M]" when not (or "?"
// when it cannot be read), "memory.max=10%[1.6G]" for a share of memory.
std::string SettingText(const TqRcgCtrllr::RcgSetting& setting, const TqRcgCtrllr::GroupFigures& figures);

// The columns of one group's line: GROUP CAP PROCESSES REMEMBERED THROTTLED
// THROTTLED-TIME, then MEMORY PEAK OOM-KILLS TASKS CPU-PRESSURE
// MEM-PRESSURE SETTINGS where the kernel has them; a group that is not
// there, or whose name was not looked up, has its name and a note only.
struct ListRow {
    std::string name;
    std::string note;  // not empty: shown instead of the figures
    std::string cap, processes, remembered, throttled, throttledTime;
    // Empty where the group has no such figure; a column none has is left out.
    std::string memory, memoryPeak, oomKills, tasks, cpuPressure, memoryPressure, settings;
};
ListRow MakeListRow(const TqRcgCtrllr::GroupFigures& figures,
                    const std::vector<TqRcgCtrllr::RememberedCap>& caps, long processors,
                    const std::vector<TqRcgCtrllr::RememberedSetting>& settings = {});

// The header and the rows, each column padded to its widest entry; the
// columns after THROTTLED-TIME only where some row has a value.
std::string FormatListTable(const std::vector<ListRow>& rows);

}  // namespace tqrcg
