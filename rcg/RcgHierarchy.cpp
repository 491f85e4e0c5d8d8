#include "RcgHierarchy.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "../host/TQPlatformInfo.h"
#include "RcgControlFiles.h"
#include "RcgNames.h"

namespace TqRcgCtrllr {

namespace {

// The mount table writes blanks, tabs, line breaks and '\' as octal escapes.
std::string UnescapeMountField(const std::string& field) {
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string digits = field.substr(i + 1, 3);
            if (digits.find_first_not_of("01234567") == std::string::npos) {
                text += static_cast<char>(std::strtol(digits.c_str(), nullptr, 8));
                i += 3;
                continue;
            }
        }
        text += field[i];
    }
    return text;
}

bool HasOption(const std::string& options, const std::string& wanted) {
    std::istringstream list(options);
    std::string option;
    while (std::getline(list, option, ',')) {
        if (option == wanted) return true;
    }
    return false;
}

std::string Trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\n");
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(" \t\n") - first + 1);
}

bool ParseUnsigned(const std::string& text, std::uint64_t* value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    *value = std::strtoull(text.c_str(), nullptr, 10);
    return errno == 0;
}

}  // namespace

CgroupMounts ParseCgroupMounts(const std::string& mountTable) {
    CgroupMounts mounts;
    std::istringstream lines(mountTable);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string device, mountPoint, type, options;
        if (!(fields >> device >> mountPoint >> type >> options)) continue;
        if (type == "cgroup") {
            mounts.anyV1 = true;
            for (const char* controller : {"cpu", "cpuacct", "cpuset", "memory", "pids"}) {
                if (HasOption(options, controller)) mounts.v1.emplace(controller, UnescapeMountField(mountPoint));
            }
            if (mounts.cpuV1.empty() && HasOption(options, "cpu")) {
                mounts.cpuV1 = UnescapeMountField(mountPoint);
                mounts.cpuV1WithCpuacct = HasOption(options, "cpuacct");
            }
        } else if (type == "cgroup2") {
            mounts.cgroup2.push_back(UnescapeMountField(mountPoint));
        }
    }
    return mounts;
}

std::string CgroupMounts::v1Mount(const std::string& controller) const {
    const auto found = v1.find(controller);
    return found == v1.end() ? std::string() : found->second;
}

namespace detail {

bool ListsController(const std::string& text, const std::string& name) {
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        if (word == name) return true;
    }
    return false;
}

std::string FormatCpuMax(std::uint64_t quotaUs, std::uint64_t periodUs) {
    return std::to_string(quotaUs) + " " + std::to_string(periodUs);
}

bool ParseCpuMax(const std::string& text, CpuMax* value) {
    std::istringstream fields(text);
    std::string quota, period, rest;
    if (!(fields >> quota >> period) || (fields >> rest)) return false;
    CpuMax parsed;
    if (!ParseUnsigned(period, &parsed.periodUs) || parsed.periodUs == 0) return false;
    if (quota == "max") {
        parsed.unlimited = true;
    } else if (!ParseUnsigned(quota, &parsed.quotaUs)) {
        return false;
    }
    *value = parsed;
    return true;
}

Hierarchy ChooseHierarchy(CgroupFs& fs) {
    Hierarchy chosen;
    std::string table;
    if (fs.readFile(cgfile::machine::kMounts, &table) != 0) return chosen;
    const CgroupMounts mounts = ParseCgroupMounts(table);
    chosen.mounts = mounts;
    if (!mounts.cpuV1.empty()) return chosen;
    for (const std::string& mount : mounts.cgroup2) {
        std::string controllers;
        fs.readFile(mount + "/" + cgfile::core::kControllers, &controllers);
        if (ListsController(controllers, "cpu")) {
            return Hierarchy{Hierarchy::kCgroup2, mount, Trimmed(controllers), mounts};
        }
        if (chosen.mount.empty()) {
            chosen.mount = mount;
            chosen.controllers = Trimmed(controllers);
        }
    }
    chosen.kind = !mounts.anyV1 && !mounts.cgroup2.empty() ? Hierarchy::kCgroup2WithoutCpu : Hierarchy::kV1;
    return chosen;
}

std::string Cgroup2Base(std::string* problem) {
    std::string base;
    TQPlatformInfo store;
    store.setFocus(TQPI_Focus::getFocus());
    if (store.getString("Base", kCgroup2BaseKey, base) == 0) return kDefaultCgroup2Base;
    RcgName checked;
    std::string rule;
    if (ParseRcgName(base, &checked, &rule) && !checked.controllers.empty())
        rule = "Invalid resource group name \"" + EscapeRcgName(base) + "\": the base must be a plain path";
    if (rule.empty()) return base;
    *problem = "The cgroup2 base in [Base] " + std::string(kCgroup2BaseKey) + " of " + store.path() +
               " is not usable. " + rule;
    return std::string();
}

std::string CpuUnavailableText(const Hierarchy& hierarchy) {
    return "The cpu controller is not available in the cgroup2 hierarchy at " + hierarchy.mount +
           " (its cgroup.controllers lists: " +
           (hierarchy.controllers.empty() ? std::string("nothing") : hierarchy.controllers) +
           "). Enable it from the parent's cgroup.subtree_control (in a container: ask its "
           "manager to delegate cpu; under systemd: Delegate=yes), or boot a kernel that has "
           "the cpu controller and no cgroup_disable=cpu.";
}

}  // namespace detail
}  // namespace TqRcgCtrllr
