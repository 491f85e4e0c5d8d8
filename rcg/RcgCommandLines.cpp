#include "RcgCommandLines.h"

#include "RcgControlFiles.h"

namespace TqRcgCtrllr {
namespace detail {

namespace {

bool IsControllerCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == ',' || c == '=';
}

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

// The lines of a listing as listed, each with its line break when it had one.
std::vector<std::string> ListedLines(const std::string& listing) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < listing.size()) {
        const std::size_t end = listing.find('\n', start);
        lines.push_back(listing.substr(start, end == std::string::npos ? std::string::npos : end - start + 1));
        start = end == std::string::npos ? listing.size() : end + 1;
    }
    return lines;
}

// A listing line, "<controllers>:/<path>" as libcgroup 2.0 prints it or
// "<controllers>://<path>" as libcgroup 3 does, taken apart.
struct ListingLine {
    std::string controllers;
    std::string path;
    bool doubleSlash = false;
};

bool SplitListingLine(std::string line, ListingLine* parsed) {
    if (!line.empty() && line.back() == '\n') line.pop_back();
    const std::size_t colon = line.find(":/");
    if (colon == std::string::npos || colon == 0) return false;
    parsed->controllers = line.substr(0, colon);
    for (char c : parsed->controllers) {
        if (!IsControllerCharacter(c)) return false;
    }
    parsed->doubleSlash = line.compare(colon + 2, 1, "/") == 0;
    parsed->path = line.substr(colon + (parsed->doubleSlash ? 3 : 2));
    return true;
}

// Whether a listing line names exactly the group.
bool NamesGroup(const std::string& line, const RcgName& name) {
    ListingLine listed;
    if (!SplitListingLine(line, &listed) || listed.path != name.path) return false;
    return name.controllers.empty() || listed.controllers == name.controllers;
}

}  // namespace

std::string LookupListingCommand(const RcgName& name) {
    return "lscgroup | grep :/" + name.text + " | cut -d\"/\" -f2 | grep -w " + name.text;
}

std::string LookupCommand(const RcgName& name) {
    if (IsPlainName(name)) return LookupListingCommand(name);
    return "lscgroup cpu:/" + name.path;
}

bool LookupFindsGroup(const std::string& output, const RcgName& name) {
    for (const std::string& line : OutputLines(output)) {
        if (IsPlainName(name)) {
            if (line == name.path) return true;
            continue;
        }
        ListingLine listed;
        if (!SplitListingLine(line, &listed) || !ListsCpu(listed.controllers)) continue;
        if (!listed.path.empty() && listed.path.back() == '/') listed.path.pop_back();
        if (listed.path == name.path) return true;
    }
    return false;
}

std::string DoubleSlashLookupCommand(const RcgName& name) {
    return IsPlainName(name) ? DeletionListingCommand(name) : std::string();
}

bool DoubleSlashLookupFindsGroup(const std::string& output, const RcgName& name) {
    for (const std::string& line : OutputLines(output)) {
        ListingLine listed;
        if (!SplitListingLine(line, &listed) || !listed.doubleSlash) continue;
        if (listed.path.substr(0, listed.path.find('/')) == name.path) return true;
    }
    return false;
}

std::string DeletionListingCommand(const RcgName& name) { return "lscgroup | grep -w " + name.text; }

std::vector<std::string> SelectDeletionLines(const std::string& listing, const RcgName& name) {
    std::vector<std::string> selected;
    for (const std::string& asListed : ListedLines(listing)) {
        if (NamesGroup(asListed, name)) selected.push_back(asListed);
    }
    return selected;
}

std::vector<std::string> DeletionCommands(const std::vector<std::string>& lines) {
    std::vector<std::string> commands;
    for (const std::string& line : lines) commands.push_back("cgdelete -g " + line);
    return commands;
}

std::string V1ExtraControllers(const std::string& controllers) {
    std::string extras;
    std::size_t start = 0;
    while (start <= controllers.size()) {
        std::size_t comma = controllers.find(',', start);
        if (comma == std::string::npos) comma = controllers.size();
        const std::string controller = controllers.substr(start, comma - start);
        if (controller == "cpuset" || controller == "memory" || controller == "pids")
            extras += (extras.empty() ? "" : ",") + controller;
        start = comma + 1;
    }
    return extras;
}

std::string UndoCreationCommand(const RcgName& name) { return "cgdelete -g " + name.cgroupSpec; }

std::string CreateCommand(const std::string& cgroupSpec) { return "cgcreate -g " + cgroupSpec; }

std::string PeriodCommand(std::uint64_t periodUs, const std::string& rcgName) {
    return SetCommand(cgfile::cpu::kV1Period, std::to_string(periodUs), rcgName);
}

std::string SetCommand(const std::string& file, const std::string& value, const std::string& rcgName) {
    return "cgset -r " + file + "=" + value + " " + rcgName;
}

std::string QuotaCommand(std::uint64_t quotaUs, const std::string& rcgName) {
    return SetCommand(cgfile::cpu::kV1Quota, std::to_string(quotaUs), rcgName);
}

std::string ClassifyCommand(const std::string& cgroupSpec, const std::list<unsigned int>& pids) {
    std::string ids;
    for (unsigned int pid : pids) ids += " " + std::to_string(pid);
    return "cgclassify -g " + cgroupSpec + " " + ids;
}

bool IsExitStatusOne(int status) { return status == 1; }

bool ListingSelectedNothing(int status, const std::string& out, const std::string& err) {
    return IsExitStatusOne(status) && out.empty() && err.empty();
}

}  // namespace detail
}  // namespace TqRcgCtrllr
