// The pure part of `tqrcg list`: a group's figures as the columns of its
// line and as a JSON object.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "rcg/RcgCaps.h"
#include "rcg/RcgFigures.h"
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

// The columns of one group's line: GROUP CAP PROCESSES REMEMBERED THROTTLED
// THROTTLED-TIME; a group that is not there, or whose name was not looked
// up, has its name and a note only.
struct ListRow {
    std::string name;
    std::string note;  // not empty: shown instead of the figures
    std::string cap, processes, remembered, throttled, throttledTime;
};
ListRow MakeListRow(const TqRcgCtrllr::GroupFigures& figures,
                    const std::vector<TqRcgCtrllr::RememberedCap>& caps, long processors);

// The header and the rows, each column padded to its widest entry.
std::string FormatListTable(const std::vector<ListRow>& rows);

// One group as JSON: numbers carry their unit in the field name; a figure
// that could not be read, or that the group lacks (no cap), is null.
nlohmann::ordered_json GroupJson(const TqRcgCtrllr::GroupFigures& figures,
                                 const std::vector<TqRcgCtrllr::RememberedCap>& caps,
                                 long processors);

}  // namespace tqrcg
