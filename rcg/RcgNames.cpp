#include "RcgNames.h"

#include <cstdio>

#include "../common/TqRcgDefs.h"

namespace TqRcgCtrllr {

std::string EscapeRcgName(const std::string& name) {
    std::string text;
    for (unsigned char c : name) {
        switch (c) {
            case '\\': text += "\\\\"; break;
            case '"': text += "\\\""; break;
            case '\n': text += "\\n"; break;
            case '\t': text += "\\t"; break;
            case '\r': text += "\\r"; break;
            default:
                if (c < 0x20 || c > 0x7e) {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned>(c));
                    text += hex;
                } else {
                    text += static_cast<char>(c);
                }
        }
    }
    return text;
}

namespace detail {

namespace {

const char kQualifier[] = ":/";
// The deepest group a name may make: each level is a folder of its own.
constexpr std::size_t kMaxLevels = 16;
// The controllers whose files ("<controller>.<name>") sit in every group's
// folder, on cgroup v1 and cgroup2.
const char* const kControllerFilePrefixes[] = {
    "cgroup.", "cpu.",  "cpuacct.", "cpuset.", "memory.", "pids.",  "io.",         "blkio.",     "devices.",
    "freezer.", "hugetlb.", "misc.", "net_cls.", "net_prio.", "perf_event.", "rdma.",
};

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool IsNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '_' || c == '-' || c == '.';
}

// The rule a path component breaks, or null.
const char* ComponentProblem(const std::string& component) {
    if (component.empty()) return "a name component must not be empty";
    for (char c : component) {
        if (!IsNameCharacter(c))
            return "a name component may hold only letters, digits, '_', '-' and '.'";
    }
    if (component == "." || component == "..") return "a name component must not be \".\" or \"..\"";
    if (component == "tasks" || component == "notify_on_release" || component == "release_agent")
        return "a name component must not name a control file of a cgroup";
    for (const char* prefix : kControllerFilePrefixes) {
        if (StartsWith(component, prefix)) return "a name component must not name a control file of a cgroup";
    }
    return nullptr;
}

// The rule the split name breaks, or null.  The path holds no ':' once its
// components pass, so the split at the first ":/" is the prefix's.
const char* NameRule(const RcgName& name) {
    if (name.text.empty()) return "a name must not be empty";
    if (name.text.size() > k_TqRcgNameMaxSize) return "a name may hold at most 255 characters";
    const bool qualified = name.path.size() != name.text.size();
    if (qualified && name.controllers != "cpu" && name.controllers != "cpu,cpuacct")
        return "a controller prefix must be \"cpu:/\" or \"cpu,cpuacct:/\"";
    // The path stands alone as an argument (cgset, grep -w): a leading '-'
    // would be read as an option.
    if (!name.path.empty() && name.path[0] == '-') return "a group path must not begin with '-'";
    std::size_t start = 0;
    for (std::size_t level = 1;; ++level) {
        if (level > kMaxLevels) return "a name may have at most 16 levels (components separated by '/')";
        const std::size_t slash = name.path.find('/', start);
        const std::string component =
            name.path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (const char* problem = ComponentProblem(component)) return problem;
        if (slash == std::string::npos) return nullptr;
        start = slash + 1;
    }
}

}  // namespace

RcgName SplitRcgName(const std::string& text) {
    RcgName name;
    name.text = text;
    const std::size_t p = text.find(kQualifier);
    if (p == std::string::npos) {
        name.path = text;
        name.cgroupSpec = "cpu:/" + text;
    } else {
        name.controllers = text.substr(0, p);
        name.path = text.substr(p + 2);
        name.cgroupSpec = text;
    }
    return name;
}

bool SameRcgGroup(const std::string& a, const std::string& b) { return SplitRcgName(a).path == SplitRcgName(b).path; }

bool ParseRcgName(const std::string& text, RcgName* name, std::string* problem) {
    RcgName split = SplitRcgName(text);
    const char* rule = NameRule(split);
    if (!rule) {
        *name = std::move(split);
        return true;
    }
    // A very long name is shown by its start only.
    std::string shown = EscapeRcgName(text.substr(0, k_TqRcgNameMaxSize));
    if (text.size() > k_TqRcgNameMaxSize) shown += "...";
    *problem = "Invalid resource group name \"" + shown + "\": " + rule;
    return false;
}

std::string RcgNameProblem(const std::string& text) {
    RcgName name;
    std::string problem;
    ParseRcgName(text, &name, &problem);
    return problem;
}

}  // namespace detail
}  // namespace TqRcgCtrllr
