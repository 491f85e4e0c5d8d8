#include "RcgNames.h"

#include <cstdio>
#include <cstdlib>

#include "../common/TqRcgDefs.h"

namespace TqRcgCtrllr {
namespace detail {

namespace {

const char* const kControllerPrefixes[] = {"cpu:/", "cpu,cpuacct:/"};

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool IsNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '_' || c == '-' || c == '.';
}

bool IsControllerCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == ',' || c == '=';
}

// The rule a path component breaks, or null.
const char* ComponentProblem(const std::string& component) {
    if (component.empty()) return "a name component must not be empty";
    for (char c : component) {
        if (!IsNameCharacter(c))
            return "a name component may hold only letters, digits, '_', '-' and '.'";
    }
    if (component == "." || component == "..") return "a name component must not be \".\" or \"..\"";
    if (component == "tasks" || component == "notify_on_release" || component == "release_agent" ||
        StartsWith(component, "cgroup.") || StartsWith(component, "cpu.") ||
        StartsWith(component, "cpuacct."))
        return "a name component must not name a control file of a cgroup";
    return nullptr;
}

const char* NameRule(const std::string& name) {
    if (name.empty()) return "a name must not be empty";
    if (name.size() > k_TqRcgNameMaxSize) return "a name may hold at most 255 characters";
    std::string path = name;
    for (const char* prefix : kControllerPrefixes) {
        if (StartsWith(name, prefix)) {
            path = name.substr(std::string(prefix).size());
            break;
        }
    }
    if (path.size() == name.size() && name.find(":/") != std::string::npos)
        return "a controller prefix must be \"cpu:/\" or \"cpu,cpuacct:/\"";
    // The path stands alone as an argument (cgset, grep -w): a leading '-'
    // would be read as an option.
    if (!path.empty() && path[0] == '-') return "a group path must not begin with '-'";
    std::size_t start = 0;
    for (;;) {
        std::size_t slash = path.find('/', start);
        std::string component =
            path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (const char* problem = ComponentProblem(component)) return problem;
        if (slash == std::string::npos) return nullptr;
        start = slash + 1;
    }
}

}  // namespace

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

std::string RcgNameProblem(const std::string& name) {
    const char* rule = NameRule(name);
    if (!rule) return std::string();
    // A very long name is shown by its start only.
    std::string shown = EscapeRcgName(name.substr(0, k_TqRcgNameMaxSize));
    if (name.size() > k_TqRcgNameMaxSize) shown += "...";
    return "Invalid resource group name \"" + shown + "\": " + rule;
}

RcgNameForms SplitRcgName(const std::string& name) {
    RcgNameForms forms;
    std::size_t p = name.find(":/");
    if (p == std::string::npos) {
        forms.rcgName = name;
        forms.cgroupSpec = "cpu:/" + name;
    } else {
        forms.cgroupSpec = name;
        forms.rcgName = name.substr(p + 2);
    }
    return forms;
}

RcgName ParseRcgName(const std::string& text) {
    return RcgName{text, RcgControllerOf(text), SplitRcgName(text).rcgName};
}

std::string RcgControllerOf(const std::string& name) {
    std::size_t p = name.find(":/");
    return p == std::string::npos ? std::string() : name.substr(0, p);
}

std::string LookupListingCommand(const std::string& name) {
    return "lscgroup | grep :/" + name + " | cut -d\"/\" -f2 | grep -w " + name;
}

namespace {
bool IsPlainName(const RcgName& name) {
    return name.controllers.empty() && name.path.find('/') == std::string::npos;
}

bool ListsCpu(const std::string& controllers) {
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = controllers.find(',', start);
        if (controllers.compare(start, comma == std::string::npos ? std::string::npos : comma - start, "cpu") == 0)
            return true;
        if (comma == std::string::npos) return false;
        start = comma + 1;
    }
}

// The lines of a command's output, without their line breaks.
std::vector<std::string> OutputLines(const std::string& output) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < output.size()) {
        std::size_t end = output.find('\n', start);
        if (end == std::string::npos) end = output.size();
        lines.push_back(output.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}
}  // namespace

std::string LookupCommand(const RcgName& name) {
    if (IsPlainName(name)) return LookupListingCommand(name.text);
    return "lscgroup cpu:/" + name.path;
}

bool LookupFindsGroup(const std::string& output, const RcgName& name) {
    for (std::string line : OutputLines(output)) {
        if (IsPlainName(name)) {
            if (line == name.path) return true;
            continue;
        }
        const std::size_t colon = line.find(":/");
        if (colon == std::string::npos || !ListsCpu(line.substr(0, colon))) continue;
        std::string path = line.substr(colon + 2);
        if (!path.empty() && path.back() == '/') path.pop_back();
        if (path == name.path) return true;
    }
    return false;
}

std::string DeletionListingCommand(const std::string& name) {
    return "lscgroup | grep -w " + name;
}

std::uint64_t ComputeCpuQuota(unsigned int percent, int processors, std::uint64_t periodUs) {
    const unsigned __int128 product = static_cast<unsigned __int128>(percent) *
                                      static_cast<unsigned __int128>(static_cast<unsigned int>(processors)) *
                                      static_cast<unsigned __int128>(periodUs);
    const unsigned __int128 quota = product / 100;
    if (quota > static_cast<unsigned __int128>(UINT64_MAX)) return UINT64_MAX;
    return static_cast<std::uint64_t>(quota);
}

std::vector<std::string> SelectDeletionLines(const std::string& listing, const std::string& name) {
    const std::string path = SplitRcgName(name).rcgName;
    const std::string controller = RcgControllerOf(name);
    std::vector<std::string> selected;
    std::size_t start = 0;
    while (start < listing.size()) {
        std::size_t end = listing.find('\n', start);
        std::string asListed =
            listing.substr(start, end == std::string::npos ? std::string::npos : end - start + 1);
        start = end == std::string::npos ? listing.size() : end + 1;

        std::string line = asListed;
        if (!line.empty() && line.back() == '\n') line.pop_back();
        std::size_t colon = line.find(":/");
        if (colon == std::string::npos || colon == 0) continue;
        const std::string lineControllers = line.substr(0, colon);
        bool wellFormed = true;
        for (char c : lineControllers) wellFormed = wellFormed && IsControllerCharacter(c);
        if (!wellFormed) continue;
        if (line.substr(colon + 2) != path) continue;
        if (!controller.empty() && lineControllers != controller) continue;
        selected.push_back(asListed);
    }
    return selected;
}

std::string DeletionCommand(const std::vector<std::string>& lines) {
    if (lines.empty()) return std::string();
    if (lines.size() == 1) return "cgdelete -g " + lines.front();
    std::string command = "cgdelete";
    for (std::string line : lines) {
        if (!line.empty() && line.back() == '\n') line.pop_back();
        command += " -g " + line;
    }
    return command + "\n";
}

namespace {
// The runner's closing line "(N more bytes)" of a stream it cut, or empty.
std::string MoreBytesLine(const std::string& stream) {
    std::string text = stream;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    const std::size_t start = text.rfind('\n') + 1;  // npos + 1 is 0
    const std::string line = text.substr(start);
    const std::string suffix = " more bytes)";
    if (line.size() <= suffix.size() + 1 || line[0] != '(' ||
        line.compare(line.size() - suffix.size(), suffix.size(), suffix) != 0 ||
        line.find_first_not_of("0123456789", 1) != line.size() - suffix.size())
        return std::string();
    return line;
}
}  // namespace

std::string FormatCmdFailure(const std::string& command, const std::string& out,
                             const std::string& err) {
    char text[k_TqRcgMgrErrorMsgSize] = {};
    const int whole = std::snprintf(text, sizeof text, k_TQRCGMGR_Cmd_Error_Pattern, command.c_str(),
                                    out.c_str(), err.c_str());
    const std::string formatted = text;
    // A stream the runner cut says how much it left out; when the text is cut
    // too, that count is kept at its end.
    std::string notes;
    for (const std::string* stream : {&out, &err}) {
        const std::string line = MoreBytesLine(*stream);
        if (!line.empty()) notes += (stream == &out ? " out" : " err") + line;
    }
    if (notes.empty() || whole < static_cast<int>(sizeof text)) return formatted;
    notes = "..." + notes + "\n";
    return formatted.substr(0, sizeof text - 1 - notes.size()) + notes;
}

bool IsExitStatusOne(int status) { return status == 1; }

bool ListingSelectedNothing(int status, const std::string& out, const std::string& err) {
    return IsExitStatusOne(status) && out.empty() && err.empty();
}

std::string AppendToGroupList(const std::string* current, const std::string& name) {
    return (current ? *current : std::string()) + " " + name;
}

}  // namespace detail
}  // namespace TqRcgCtrllr
