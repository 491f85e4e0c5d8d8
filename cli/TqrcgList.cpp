#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <ostream>

#include "TqrcgCommands.h"
#include "TqrcgText.h"
#include "common/TqRcgDefs.h"
#include "common/TqRcgText.h"
#include "host/StoreText.h"
#include "host/TQPlatformInfo.h"
#include "host/TqProcess.h"
#include "rcg/CgroupFs.h"
#include "rcg/RcgCaps.h"
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
    std::string remembered = "-";  // the cap tqd applies again, "-" for none
};

// A group's quota and period as the kernel holds them; quota -1: no limit.
struct Quota {
    long long quotaUs = -1;
    long long periodUs = 0;
};

// Where the groups' folders are and how a cap is read, on the hierarchy the
// daemon uses now.
struct Place {
    std::string groupsRoot;  // folder below which a group's path names its folder
    long processors = 0;     // as the daemon counts them when it sets a cap
    // Reads a group's quota, given its path and folder; false with a problem.
    std::function<bool(const std::string&, const std::string&, Quota*, std::string*)> readQuota;
    std::vector<TqRcgCtrllr::detail::RememberedCap> caps;  // as tqd remembers them
};

// The quota from the group's cpu.max; false with *problem set when unreadable.
bool Cgroup2Quota(const std::string& folder, Quota* quota, std::string* problem) {
    std::string text;
    TqRcgCtrllr::detail::CpuMax value;
    if (!ReadText(folder + "/cpu.max", &text) || !TqRcgCtrllr::detail::ParseCpuMax(text, &value)) {
        *problem = "cannot read " + folder + "/cpu.max";
        return false;
    }
    quota->quotaUs = value.unlimited ? -1 : static_cast<long long>(value.quotaUs);
    quota->periodUs = static_cast<long long>(value.periodUs);
    return true;
}

// The quota through cgget; false with *problem set when it fails.
bool V1Quota(const std::string& path, Quota* quota, std::string* problem) {
    const std::string command = "cgget -n -v -r cpu.cfs_quota_us -r cpu.cfs_period_us " + ShellQuote(path);
    std::string cgOut, cgErr;
    std::vector<long long> values;
    if (TqProcess::system(command.c_str(), &cgOut, &cgErr, 0, false) == 0 &&
        ParseCggetValues(cgOut, &values) && values.size() == 2) {
        quota->quotaUs = values[0];
        quota->periodUs = values[1];
        return true;
    }
    while (!cgErr.empty() && cgErr.back() == '\n') cgErr.pop_back();
    *problem = command + ": " + cgErr;
    return false;
}

// The remembered cap beside the quota: marked when the quota is no longer
// that cap's share of today's machine.
std::string RememberedText(unsigned int percent, const Quota& quota, long processors) {
    const std::uint64_t wanted = TqRcgCtrllr::detail::ComputeCpuQuota(percent, static_cast<int>(processors));
    const bool matches = quota.quotaUs >= 0 && quota.periodUs == static_cast<long long>(TqRcgCtrllr::detail::kCfsPeriodUs) &&
                         static_cast<std::uint64_t>(quota.quotaUs) == wanted;
    return std::to_string(percent) + "%" + (matches ? "" : " (differs: restart tqd or cap again)");
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
    Quota quota;
    if (place.readQuota(path, folder, &quota, &problem)) {
        row->cap = FormatCap(quota.quotaUs, quota.periodUs, place.processors);
        unsigned int percent = 0;
        if (TqRcgCtrllr::detail::FindCap(place.caps, name, &percent))
            row->remembered = RememberedText(percent, quota, place.processors);
    } else {
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
            place->readQuota = [](const std::string&, const std::string& folder, Quota* quota,
                                  std::string* problem) { return Cgroup2Quota(folder, quota, problem); };
            return true;
        }
        case Hierarchy::kV1:
            break;
    }
    std::string mounts;
    ReadText("/proc/self/mounts", &mounts);
    place->groupsRoot = CpuMountPoint(mounts);
    place->readQuota = [](const std::string& path, const std::string&, Quota* quota, std::string* problem) {
        return V1Quota(path, quota, problem);
    };
    place->processors = anyGroup ? ProcessorCount() : 0;
    return true;
}

void PrintRows(const std::vector<GroupRow>& rows, std::ostream& out) {
    std::size_t nameWidth = 5;
    for (const auto& row : rows) nameWidth = std::max(nameWidth, row.name.size());
    auto pad = [](const std::string& text, std::size_t width) {
        return text + std::string(width > text.size() ? width - text.size() : 0, ' ');
    };
    out << pad("GROUP", nameWidth) << "  " << pad("CAP", 6) << "  " << pad("PROCESSES", 9) << "  REMEMBERED\n";
    for (const auto& row : rows) {
        if (!row.note.empty()) {
            out << pad(row.name, nameWidth) << "  " << row.note << "\n";
        } else {
            out << pad(row.name, nameWidth) << "  " << pad(row.cap, 6) << "  " << pad(row.processes, 9) << "  "
                << row.remembered << "\n";
        }
    }
}

}  // namespace

int ListGroups(std::ostream& out, std::ostream& err) {
    std::string listed, remembered;
    {
        TQPlatformInfo store;
        store.setFocus(TQPI_Focus::getFocus());
        if (store.getString("Base", k_TQRCGMGR_Groups_RegKey, listed) == 0) listed.clear();
        if (store.getString("Base", TqRcgCtrllr::detail::kCapsKey, remembered) == 0) remembered.clear();
    }
    const std::vector<std::string> names = ParseGroupList(listed);

    Place place;
    place.caps = TqRcgCtrllr::detail::ParseCaps(remembered);
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
