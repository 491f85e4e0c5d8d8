#include <ostream>

#include "TqrcgCommands.h"
#include "TqrcgListJson.h"
#include "TqrcgListText.h"
#include "TqrcgText.h"
#include "rcg/RcgNames.h"
#include "rcg/RcgRecord.h"

namespace tqrcg {

using TqRcgCtrllr::GroupFigures;

int ListGroups(bool json, std::ostream& out, std::ostream& err) {
    RecordedFigures figures;
    std::string problem;
    if (!TqRcgCtrllr::ReadRecordedFigures(&figures, &problem)) {
        err << "tqrcg: " << problem << "\n";
        return kExitFailure;
    }
    int status = kExitSuccess;
    for (const GroupFigures& group : figures.groups) {
        if (group.problem.empty()) continue;
        err << "tqrcg: cannot read the figures of " << TqRcgCtrllr::EscapeRcgName(group.name) << ": "
            << group.problem << "\n";
        status = kExitFailure;
    }
    if (json) {
        out << FormatListJson(figures);
        return status;
    }
    std::vector<ListRow> rows;
    rows.reserve(figures.groups.size());
    for (const GroupFigures& group : figures.groups)
        rows.push_back(MakeListRow(group, figures.caps, figures.processors, figures.settings));
    out << FormatListTable(rows);
    return status;
}

}  // namespace tqrcg
