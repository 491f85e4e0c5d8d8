// A resource group as a control group of the cpu controller, driven through
// the libcgroup tools.  The object only names its control group; every
// operation runs commands and keeps nothing.
#include "../common/TqRcgText.h"
#include "../host/TqProcess.h"
#include "RcgCommandLines.h"
#include "RcgGroups.h"
#include "RcgNames.h"
#include "RcgQuota.h"
#include "RcgReport.h"
#include "TqRcgCtrllr.h"

namespace TqRcgCtrllr {

namespace {
const char kFile[] = "linuxRcg.cpp";
const char kCtorFunction[] = "TqRcgCtrllr::linuxRcg::linuxRcg(const char*, bool, CQiError&)";
const char kSetCpuFunction[] =
    "virtual CQiError TqRcgCtrllr::linuxRcg::setCPUConstraint(unsigned int)";
const char kAssignFunction[] =
    "virtual CQiError TqRcgCtrllr::linuxRcg::AssignPidsTo(const std::__cxx11::list<unsigned int>&)";
}  // namespace

linuxRcg::linuxRcg(const char* name, bool existing, CQiError& error) : TqRcg(error) {
    // The constructor is public and takes any text: split as the tools read
    // it.  The controller passes only names it checked.
    const detail::RcgName split = detail::SplitRcgName(name);
    m_rcgName = split.path;
    m_cgroupSpec = split.cgroupSpec;
    if (existing) return;

    const std::string command = detail::CreateCommand(m_cgroupSpec);
    std::string out, err;
    if (TqProcess::system(command.c_str(), &out, &err, 0, false) != 0) {
        const char* const tag = "linuxRcg::linuxRcg";
        error = detail::ReportCmdFailure(eventLog, tag, {kFile, kCtorFunction, __LINE__}, command, out, err);
    }
}

linuxRcg::~linuxRcg() {}

CQiError linuxRcg::setCPUConstraint(unsigned int percent) {
    const char* const tag = "linuxRcg::setCPUConstraint";
    const std::uint64_t period = kCfsPeriodUs;
    std::string out, err;

    std::string command = detail::kProcessorCountCommand;
    if (TqProcess::system(command.c_str(), &out, &err, 0, false) != 0) {
        return detail::ReportCmdFailure(eventLog, tag, {kFile, kSetCpuFunction, __LINE__},
                                        command, out, err);
    }
    const int processors = ReadLeadingInt(out.c_str());

    command = detail::PeriodCommand(period, m_rcgName);
    if (TqProcess::system(command.c_str(), &out, &err, 0, false) != 0) {
        return detail::ReportCmdFailure(eventLog, tag, {kFile, kSetCpuFunction, __LINE__},
                                        command, out, err);
    }

    command = detail::QuotaCommand(ComputeCpuQuota(percent, processors, period), m_rcgName);
    if (TqProcess::system(command.c_str(), &out, &err, 0, false) != 0) {
        return detail::ReportCmdFailure(eventLog, tag, {kFile, kSetCpuFunction, __LINE__},
                                        command, out, err);
    }
    return CQiError::Success();
}

CQiError linuxRcg::AssignPidsTo(const std::list<unsigned int>& pids) {
    CQiError result = CQiError::Success();
    const std::string command = detail::ClassifyCommand(m_cgroupSpec, pids);
    std::string out, err;
    if (TqProcess::system(command.c_str(), &out, &err, 0, false) != 0) {
        const char* const tag = "linuxRcg::AssignPidsTo";
        result = detail::ReportCmdFailure(eventLog, tag, {kFile, kAssignFunction, __LINE__}, command, out, err);
    }
    return result;
}

// The processes go to the dummy group of every hierarchy this group lives in.
CQiError linuxRcg::RemovePidsFrom(const std::list<unsigned int>& pids) {
    const std::string extras = detail::V1ExtraControllers(detail::SplitRcgName(m_cgroupSpec).controllers);
    if (extras.empty()) return detail::MoveToDummyGroup(pids);
    return detail::MoveToV1DummyGroup(extras, pids);
}

}  // namespace TqRcgCtrllr
