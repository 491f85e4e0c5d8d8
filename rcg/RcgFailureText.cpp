#include "RcgFailureText.h"

#include <cstdio>
#include <cstring>

#include "../common/TqRcgDefs.h"

namespace TqRcgCtrllr {
namespace detail {

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

std::string FormatCmdFailure(const std::string& command, const std::string& out, const std::string& err) {
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

std::string FsFailureText(const std::string& operation, int error) {
    char buffer[256] = {};
    return "Failed to " + operation + ": " + strerror_r(error, buffer, sizeof buffer);
}

std::string UnrecordedCreationText(const std::string& name, const std::string& problem, bool undone) {
    return "The resource group " + name + " was not created: its name could not be added to [Base] " +
           k_TQRCGMGR_Groups_RegKey + " (" + problem + "); " +
           (undone ? "the new control group was removed again."
                   : "removing the new control group again failed too: delete it by hand.");
}

std::string UnappliedSettingsText(const std::string& failure, const std::string& notRestored) {
    std::string text = failure;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    if (notRestored.empty()) return text + " None of the request's settings was kept.";
    return text + " Restoring the earlier values failed too for " + notRestored + ": check them with tqrcg list.";
}

std::string ControllerMissingText(const std::string& property, const std::string& controller,
                                  const std::string& where) {
    return "Cannot set " + property + ": the " + controller + " controller is not available " + where +
           ". Mount its hierarchy (cgroup v1) or enable it for the manager's groups (cgroup2: the parent's "
           "cgroup.subtree_control; under systemd the unit's Delegate=), then try again.";
}

std::string NoV1CounterpartText(const std::string& property) {
    return "Cannot set " + property + ": cgroup v1 has no such limit. It exists on cgroup2 hosts only; on this "
           "host use memory.max.";
}

}  // namespace detail
}  // namespace TqRcgCtrllr
