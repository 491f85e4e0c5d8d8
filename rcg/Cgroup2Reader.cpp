#include "Cgroup2Reader.h"

#include "RcgControlFiles.h"

namespace TqRcgCtrllr {
namespace detail {

std::string Cgroup2Reader::readText(const std::string& path) const {
    std::string text;
    if (m_fs.readFile(path, &text) != 0) return std::string();
    const std::size_t first = text.find_first_not_of(" \t\n");
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(" \t\n") - first + 1);
}

bool Cgroup2Reader::quotaOf(const RcgName& name, std::string* quota) {
    const std::string text = readText(folderOf(name) + "/" + cgfile::cpu::kMax);
    *quota = text.substr(0, text.find(' '));
    return !quota->empty();
}

bool Cgroup2Reader::read(const RcgName& name, RcgProperty property, std::string* value) {
    std::string text;
    if (m_fs.readFile(folderOf(name) + "/" + PropertyInfo(property).v2File, &text) != 0) return false;
    *value = ReadKernelValue(property, text, false, processorCount());
    // An empty cpuset.cpus takes the parent's processors.
    if (value->empty() && property == RcgProperty::kCpus)
        *value = ReadKernelValue(property, readText(folderOf(name) + "/" + cgfile::cpuset::kCpusEffective), false, 0);
    return !value->empty();
}

bool Cgroup2Reader::holds(const RcgName& name, const RcgSetting& setting) {
    std::string text;
    if (m_fs.readFile(folderOf(name) + "/" + PropertyInfo(setting.property).v2File, &text) != 0) return false;
    return KernelHolds(Resolve(setting, machine()), setting.property, text, false);
}

// ---- figures ---------------------------------------------------------------------

void Cgroup2Reader::readCpuFigures(const std::string& folder, GroupFigures* figures) {
    namespace cpu = cgfile::cpu;
    std::string text;
    CpuMax cap;
    if (m_fs.readFile(folder + "/" + cpu::kMax, &text) == 0 && ParseCpuMax(text, &cap)) {
        figures->hasCap = true;
        figures->quotaUs = cap.unlimited ? -1 : static_cast<std::int64_t>(cap.quotaUs);
        figures->periodUs = cap.periodUs;
    } else {
        NoteProblem(figures, folder + "/" + cpu::kMax);
    }
    if (m_fs.readFile(folder + "/" + cpu::kStat, &text) != 0) {
        NoteProblem(figures, folder + "/" + cpu::kStat);
        return;
    }
    std::uint64_t throttledUs = 0, usageUs = 0;
    if (FlatKeyedValue(text, cpu::kStatPeriods, &figures->periods) &&
        FlatKeyedValue(text, cpu::kStatThrottled, &figures->throttledPeriods) &&
        FlatKeyedValue(text, cpu::kStatThrottledUs, &throttledUs)) {
        figures->hasThrottling = true;
        figures->throttledNs = throttledUs * 1000;
    }
    figures->hasBursts = FlatKeyedValue(text, cpu::kStatBursts, &figures->bursts);
    if (FlatKeyedValue(text, cpu::kStatUsageUs, &usageUs)) {
        figures->cpuSource = CpuTimeSource::kCpuStat;
        figures->cpuTimeNs = usageUs * 1000;
    }
    if (m_fs.readFile(folder + "/" + cpu::kPressure, &text) == 0) PressureSomeAvg10(text, &figures->cpuPressure);
}

GroupFigures Cgroup2Reader::figures(const std::string& name) {
    GroupFigures figures;
    std::string folder;
    std::vector<unsigned long> pids;
    if (!StartFigures(m_fs, name, baseFolder(), &figures, &folder, &pids)) return figures;
    readCpuFigures(folder, &figures);
    ReadMemoryFigures(m_fs, folder, false, &figures);
    ReadTaskFigures(m_fs, folder, &figures);
    const RcgName split = SplitRcgName(name);
    for (const RcgPropertyInfo& info : RcgProperties())
        read(split, info.property, &figures.kernelValue(info.property));
    return figures;
}

std::unique_ptr<RcgReader> MakeCgroup2Reader(CgroupFs& fs, const std::string& mount, const std::string& base) {
    return std::unique_ptr<RcgReader>(new Cgroup2Reader(fs, mount, base));
}

}  // namespace detail
}  // namespace TqRcgCtrllr
