#include <ostream>

#include "TqrcgCommands.h"
#include "TqrcgText.h"
#include "host/CQiError.h"
#include "include/tqrcgmgr/tqrcgmgr.h"

namespace tqrcg {

using TqRcgCtrllr::RcgPropertyInfo;
using TqRcgCtrllr::RcgSetting;

std::string PropertiesHelp() {
    std::string text = "PROPERTY is one of (short name in parentheses):\n";
    for (const RcgPropertyInfo& info : TqRcgCtrllr::RcgProperties()) {
        std::string name = std::string("  ") + info.name + " (" + info.alias + ")";
        if (name.size() < 28) name += std::string(28 - name.size(), ' ');
        text += name + info.help + (info.v1File ? "" : "; cgroup2 only") + "\n";
    }
    return text;
}

bool ParseSettingArguments(const std::vector<std::string>& texts, std::vector<RcgSetting>* settings,
                           std::ostream& err) {
    std::string problem;
    if (TqRcgCtrllr::ParseRcgSettings(texts, settings, &problem)) return true;
    err << "tqrcg: " << problem << "\nRun with --help for more information.\n";
    return false;
}

CQiError ApplySettings(const std::string& group, const std::vector<RcgSetting>& settings) {
    std::list<std::string> texts;
    for (const RcgSetting& setting : settings) texts.push_back(TqRcgCtrllr::FormatRcgSetting(setting));
    return setRcgProperties(group, texts);
}

int SetProperties(const std::string& group, const std::vector<RcgSetting>& settings, std::ostream& err) {
    const CQiError result = ApplySettings(group, settings);
    return result.IsError() ? ReportFailure(result, err) : kExitSuccess;
}

}  // namespace tqrcg
