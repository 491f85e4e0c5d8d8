#include <unistd.h>

#include <ostream>

#include "TqrcgCommands.h"
#include "TqrcgListText.h"
#include "TqrcgText.h"
#include "rcg/CgroupFs.h"
#include "rcg/RcgFigures.h"
#include "rcg/RcgNames.h"
#include "rcg/RcgRecord.h"

namespace tqrcg {

using TqRcgCtrllr::detail::GroupFigures;

bool ReadRecordedFigures(RecordedFigures* figures, std::string* problem) {
    const TqRcgCtrllr::detail::RecordedGroups recorded = TqRcgCtrllr::detail::ReadRecordedGroups();
    TqRcgCtrllr::detail::GroupsPlace place;
    TqRcgCtrllr::detail::CgroupFs& fs = TqRcgCtrllr::detail::InstalledCgroupFs();
    if (!TqRcgCtrllr::detail::FindGroupsPlace(fs, &place, problem)) return false;
    TqRcgCtrllr::detail::FiguresReader reader(fs, place, sysconf(_SC_CLK_TCK));
    figures->groups.clear();
    figures->groups.reserve(recorded.names.size());
    for (const std::string& name : recorded.names) figures->groups.push_back(reader.read(name));
    figures->caps = recorded.caps;
    figures->processors = place.processors;
    figures->cgroup2 = place.cgroup2;
    return true;
}

int ListGroups(bool json, std::ostream& out, std::ostream& err) {
    RecordedFigures figures;
    std::string problem;
    if (!ReadRecordedFigures(&figures, &problem)) {
        err << "tqrcg: " << problem << "\n";
        return kExitFailure;
    }
    int status = kExitSuccess;
    for (const GroupFigures& group : figures.groups) {
        if (group.problem.empty()) continue;
        err << "tqrcg: cannot read the figures of " << TqRcgCtrllr::detail::EscapeRcgName(group.name) << ": "
            << group.problem << "\n";
        status = kExitFailure;
    }
    if (json) {
        nlohmann::ordered_json array = nlohmann::ordered_json::array();
        for (const GroupFigures& group : figures.groups)
            array.push_back(GroupJson(group, figures.caps, figures.processors));
        out << array.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
        return status;
    }
    std::vector<ListRow> rows;
    rows.reserve(figures.groups.size());
    for (const GroupFigures& group : figures.groups)
        rows.push_back(MakeListRow(group, figures.caps, figures.processors));
    out << FormatListTable(rows);
    return status;
}

}  // namespace tqrcg
