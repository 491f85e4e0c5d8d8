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

}  // namespace

int ListGroups(std::ostream& out, std::ostream& err) {
    std::string listed;
    {
        TQPlatformInfo store;
        store.setFocus(TQPI_Focus::getFocus());
        if (store.getString("Base", k_TQRCGMGR_Groups_RegKey, listed) == 0) listed.clear();
    }
    const std::vector<std::string> names = ParseGroupList(listed);

    std::string mounts;
    ReadText("/proc/self/mounts", &mounts);
    const std::string cpuRoot = CpuMountPoint(mounts);
    const long processors = names.empty() ? 0 : ProcessorCount();

    int status = kExitSuccess;
    std::vector<GroupRow> rows;
    for (const auto& name : names) {
        // A hand-edited list may hold anything: only names that the
        // controller itself would accept reach a command line or a path.
        GroupRow row{TqRcgCtrllr::detail::EscapeRcgName(name), "-", "-", ""};
        if (!TqRcgCtrllr::detail::RcgNameProblem(name).empty()) {
            row.note = "(not looked up: not a valid group name)";
            rows.push_back(row);
            continue;
        }
        const std::string path = TqRcgCtrllr::detail::SplitRcgName(name).rcgName;
        const std::string folder = cpuRoot.empty() ? std::string() : cpuRoot + "/" + path;
        if (!folder.empty() && !IsDirectory(folder)) {
            row.note = "(no longer exists)";
            rows.push_back(row);
            continue;
        }
        const std::string command =
            "cgget -n -v -r cpu.cfs_quota_us -r cpu.cfs_period_us " + ShellQuote(path);
        std::string cgOut, cgErr;
        std::vector<long long> values;
        if (TqProcess::system(command.c_str(), &cgOut, &cgErr, 0, false) == 0 &&
            ParseCggetValues(cgOut, &values) && values.size() == 2) {
            row.cap = FormatCap(values[0], values[1], processors);
        } else {
            while (!cgErr.empty() && cgErr.back() == '\n') cgErr.pop_back();
            err << "tqrcg: cannot read the cap of " << row.name << ": " << command << ": " << cgErr << "\n";
            row.cap = "?";
            status = kExitFailure;
        }
        std::string procs;
        if (!folder.empty() && ReadText(folder + "/cgroup.procs", &procs)) {
            row.processes = std::to_string(CountLines(procs));
        } else {
            row.processes = "?";
            status = kExitFailure;
        }
        rows.push_back(row);
    }

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
    return status;
}

}  // namespace tqrcg
