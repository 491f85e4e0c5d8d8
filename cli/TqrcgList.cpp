#include <sys/stat.h>

#include <algorithm>
#include <ostream>

#include "TqrcgCommands.h"
#include "TqrcgText.h"
#include "common/TqRcgDefs.h"
#include "common/TqRcgText.h"
#include "host/StoreText.h"
#include "host/TQPlatformInfo.h"
#include "host/TqProcess.h"
#include "rcg/CgroupFs.h"
#include "rcg/RcgHierarchy.h"
#include "rcg/RcgNames.h"

namespace tqrcg {
namespace {

// A file's text; false when it is missing or cannot be read.
bool ReadText(const std::string& path, std::string* text) {
    bool missing = false;
    return tqfw::ReadWholeFile(path, text, &missing) && !missing;
}

bool IsDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The processor count as the daemon reads it when it sets a cap.
long ProcessorCount() {
    std::string out, err;
    if (TqProcess::system("nproc", &out, &err, 0, false) != 0) return 0;
    return ReadLeadingInt(out.c_str());
}

struct GroupRow {
    std::string name;
    std::string cap;
    std::string processes;
    std::string note;
};

// Where the groups' folders are and how a cap is read, on the hierarchy the
// daemon uses now.
struct Place {
    std::string groupsRoot;  // folder below which a group's path names its folder
    long processors = 0;     // as the daemon counts them when it sets a cap
    bool cgroup2 = false;    // caps in cpu.max, else read with cgget
};

// The cap from the group's cpu.max; false with *problem set when unreadable.
bool Cgroup2Cap(const std::string& folder, long processors, std::string* cap, std::string* problem) {
    std::string text;
    TqRcgCtrllr::detail::CpuMax value;
    if (!ReadText(folder + "/cpu.max", &text) || !TqRcgCtrllr::detail::ParseCpuMax(text, &value)) {
        *problem = "cannot read " + folder + "/cpu.max";
        return false;
    }
    *cap = value.unlimited ? "none"
                           : FormatCap(static_cast<long long>(value.quotaUs),
                                       static_cast<long long>(value.periodUs), processors);
    return true;
}

// The cap through cgget; false with *problem set when it fails.
bool V1Cap(const std::string& path, long processors, std::string* cap, std::string* problem) {
    const std::string command = "cgget -n -v -r cpu.cfs_quota_us -r cpu.cfs_period_us " + ShellQuote(path);
    std::string cgOut, cgErr;
    std::vector<long long> values;
    if (TqProcess::system(command.c_str(), &cgOut, &cgErr, 0, false) == 0 &&
        ParseCggetValues(cgOut, &values) && values.size() == 2) {
        *cap = FormatCap(values[0], values[1], processors);
        return true;
    }
    while (!cgErr.empty() && cgErr.back() == '\n') cgErr.pop_back();
    *problem = command + ": " + cgErr;
    return false;
}

// A row for one listed name; false when a figure could not be read.
bool ReadRow(const std::string& name, const Place& place, GroupRow* row, std::ostream& err) {
    // A hand-edited list may hold anything: only names that the controller
    // itself would accept reach a command line or a path.
    *row = GroupRow{TqRcgCtrllr::detail::EscapeRcgName(name), "-", "-", ""};
    if (!TqRcgCtrllr::detail::RcgNameProblem(name).empty()) {
        row->note = "(not looked up: not a valid group name)";
        return true;
    }
    const std::string path = TqRcgCtrllr::detail::ParseRcgName(name).path;
    const std::string folder = place.groupsRoot.empty() ? std::string() : place.groupsRoot + "/" + path;
    if (!folder.empty() && !IsDirectory(folder)) {
        row->note = "(no longer exists)";
        return true;
    }
    bool whole = true;
    std::string problem;
    if (!(place.cgroup2 ? Cgroup2Cap(folder, place.processors, &row->cap, &problem)
                        : V1Cap(path, place.processors, &row->cap, &problem))) {
        err << "tqrcg: cannot read the cap of " << row->name << ": " << problem << "\n";
        row->cap = "?";
        whole = false;
    }
    std::string procs;
    if (!folder.empty() && ReadText(folder + "/cgroup.procs", &procs)) {
        row->processes = std::to_string(CountLines(procs));
    } else {
        row->processes = "?";
        whole = false;
    }
    return whole;
}

// The place of the groups; false with *problem set where no group can be.
bool FindPlace(bool anyGroup, Place* place, std::string* problem) {
    using TqRcgCtrllr::detail::Hierarchy;
    const Hierarchy hierarchy = TqRcgCtrllr::detail::ChooseHierarchy(TqRcgCtrllr::detail::InstalledCgroupFs());
    switch (hierarchy.kind) {
        case Hierarchy::kCgroup2WithoutCpu:
            *problem = TqRcgCtrllr::detail::CpuUnavailableText(hierarchy);
            return false;
        case Hierarchy::kCgroup2: {
            const std::string base = TqRcgCtrllr::detail::Cgroup2Base(problem);
            if (base.empty()) return false;
            place->groupsRoot = hierarchy.mount + "/" + base;
            place->processors = TqRcgCtrllr::detail::InstalledCgroupFs().onlineProcessors();
            place->cgroup2 = true;
            return true;
        }
        case Hierarchy::kV1:
            break;
    }
    std::string mounts;
    ReadText("/proc/self/mounts", &mounts);
    place->groupsRoot = CpuMountPoint(mounts);
    place->processors = anyGroup ? ProcessorCount() : 0;
    return true;
}

void PrintRows(const std::vector<GroupRow>& rows, std::ostream& out) {
    std::size_t nameWidth = 5;
    for (const auto& row : rows) nameWidth = std::max(nameWidth, row.name.size());
    auto pad = [](const std::string& text, std::size_t width) {
        return text + std::string(width > text.size() ? width - text.size() : 0, ' ');
    };
    out << pad("GROUP", nameWidth) << "  " << pad("CAP", 6) << "  PROCESSES\n";
    for (const auto& row : rows) {
        if (!row.note.empty()) {
            out << pad(row.name, nameWidth) << "  " << row.note << "\n";
        } else {
            out << pad(row.name, nameWidth) << "  " << pad(row.cap, 6) << "  " << row.processes << "\n";
        }
    }
}

}  // namespace

int ListGroups(std::ostream& out, std::ostream& err) {
    std::string listed;
    {
        TQPlatformInfo store;
        store.setFocus(TQPI_Focus::getFocus());
        if (store.getString("Base", k_TQRCGMGR_Groups_RegKey, listed) == 0) listed.clear();
    }
    const std::vector<std::string> names = ParseGroupList(listed);

    Place place;
    std::string problem;
    if (!FindPlace(!names.empty(), &place, &problem)) {
        err << "tqrcg: " << problem << "\n";
        return kExitFailure;
    }
    int status = kExitSuccess;
    std::vector<GroupRow> rows(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!ReadRow(names[i], place, &rows[i], err)) status = kExitFailure;
    }
    PrintRows(rows, out);
    return status;
}

}  // namespace tqrcg
