#include "V1Reader.h"

#include <unistd.h>

#include "RcgControlFiles.h"

namespace TqRcgCtrllr {
namespace detail {

const char* const kV1ExtraControllers[3] = {"cpuset", "memory", "pids"};

namespace {

// cgroup v1 shows "no limit" of memory as the largest page-aligned value.
constexpr std::uint64_t kUnlimited = UINT64_MAX;

std::string Trim(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\n");
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(" \t\n") - first + 1);
}

}  // namespace

std::uint64_t V1MemoryValue(const std::string& text) {
    std::uint64_t value = 0;
    if (!ParseDecimalText(text, &value) || value >= (1ull << 62)) return kUnlimited;
    return value;
}

std::string V1Reader::mountOf(const std::string& controller) const {
    return controller == "cpu" ? m_mounts.cpuV1 : m_mounts.v1Mount(controller);
}

std::string V1Reader::extrasOf(const RcgName& name) const {
    std::string extras;
    for (const char* controller : kV1ExtraControllers) {
        const std::string mount = mountOf(controller);
        if (mount.empty() || mount == m_mounts.cpuV1 || !m_fs.isDir(mount + "/" + name.path)) continue;
        extras += (extras.empty() ? "" : ",") + std::string(controller);
    }
    return extras;
}

std::string V1Reader::readText(const std::string& path) const {
    std::string text;
    return m_fs.readFile(path, &text) == 0 ? Trim(text) : std::string();
}

bool V1Reader::exists(const RcgName& name) { return !m_mounts.cpuV1.empty() && m_fs.isDir(folderOf("cpu", name)); }

bool V1Reader::topGroups(std::set<std::string>* names) {
    return !m_mounts.cpuV1.empty() && m_fs.listDirs(m_mounts.cpuV1, names) == 0;
}

bool V1Reader::quotaOf(const RcgName& name, std::string* quota) {
    if (m_mounts.cpuV1.empty()) return false;
    *quota = readText(folderOf("cpu", name) + "/" + cgfile::cpu::kV1Quota);
    return !quota->empty();
}

bool V1Reader::read(const RcgName& name, RcgProperty property, std::string* value) {
    const RcgPropertyInfo& info = PropertyInfo(property);
    const std::string mount = mountOf(ControllerName(info.controller));
    if (info.v1File == nullptr || mount.empty()) return false;
    const std::string folder = mount + "/" + name.path;
    const std::string text = readText(folder + "/" + info.v1File);
    if (property == RcgProperty::kSwapMax) {
        // memory.memsw counts memory and swap together.
        if (text.empty()) return false;
        const std::uint64_t memsw = V1MemoryValue(text);
        const std::uint64_t limit = V1MemoryValue(readText(folder + "/" + cgfile::memory::kV1Limit));
        *value = memsw == kUnlimited ? "max" : std::to_string(limit == kUnlimited || memsw < limit ? 0 : memsw - limit);
        return true;
    }
    *value = ReadKernelValue(property, text, true, processorCount());
    return !value->empty();
}

bool V1Reader::holds(const RcgName& name, const RcgSetting& setting) {
    const RcgPropertyInfo& info = PropertyInfo(setting.property);
    const Resolved wanted = Resolve(setting, machine());
    if (setting.property == RcgProperty::kSwapMax) {
        std::string value;
        return read(name, setting.property, &value) &&
               value == (wanted.unlimited ? std::string("max") : std::to_string(wanted.number));
    }
    const std::string mount = mountOf(ControllerName(info.controller));
    std::string text;
    if (info.v1File == nullptr || mount.empty() || m_fs.readFile(mount + "/" + name.path + "/" + info.v1File, &text) != 0)
        return false;
    return KernelHolds(wanted, setting.property, text, true);
}

void V1Reader::readCpuFigures(const std::string& folder, const std::vector<unsigned long>& pids,
                              GroupFigures* figures) {
    namespace cpu = cgfile::cpu;
    std::string text;
    std::int64_t quota = 0;
    std::uint64_t period = 0;
    if (m_fs.readFile(folder + "/" + cpu::kV1Quota, &text) == 0 && ParseSignedText(text, &quota) &&
        m_fs.readFile(folder + "/" + cpu::kV1Period, &text) == 0 && ParseDecimalText(text, &period)) {
        figures->hasCap = true;
        figures->quotaUs = quota < 0 ? -1 : quota;
        figures->periodUs = period;
    } else {
        NoteProblem(figures, folder + "/" + cpu::kV1Quota);
    }
    if (m_fs.readFile(folder + "/" + cpu::kV1Stat, &text) != 0) {
        NoteProblem(figures, folder + "/" + cpu::kV1Stat);
    } else if (FlatKeyedValue(text, cpu::kStatPeriods, &figures->periods) &&
               FlatKeyedValue(text, cpu::kStatThrottled, &figures->throttledPeriods) &&
               FlatKeyedValue(text, cpu::kStatThrottledNs, &figures->throttledNs)) {
        figures->hasThrottling = true;
        figures->hasBursts = FlatKeyedValue(text, cpu::kStatBursts, &figures->bursts);
    }
    std::uint64_t usage = 0;
    if (!m_mounts.cpuV1WithCpuacct) {
        ReadProcessCpuTime(m_fs, pids, sysconf(_SC_CLK_TCK), figures);
    } else if (m_fs.readFile(folder + "/" + cgfile::cpuacct::kV1Usage, &text) == 0 && ParseDecimalText(text, &usage)) {
        figures->cpuSource = CpuTimeSource::kCpuacct;
        figures->cpuTimeNs = usage;
    }
}

GroupFigures V1Reader::figures(const std::string& name) {
    GroupFigures figures;
    std::string folder;
    std::vector<unsigned long> pids;
    if (!StartFigures(m_fs, name, m_mounts.cpuV1, &figures, &folder, &pids)) return figures;
    readCpuFigures(folder, pids, &figures);
    const RcgName split = SplitRcgName(name);
    const std::string memory = mountOf("memory"), tasks = mountOf("pids");
    if (!memory.empty() && m_fs.isDir(memory + "/" + split.path))
        ReadMemoryFigures(m_fs, memory + "/" + split.path, true, &figures);
    if (!tasks.empty() && m_fs.isDir(tasks + "/" + split.path)) ReadTaskFigures(m_fs, tasks + "/" + split.path, &figures);
    for (const RcgPropertyInfo& info : RcgProperties()) {
        const std::string controller = ControllerName(info.controller);
        if (controller == "cpu" || m_fs.isDir(folderOf(controller, split)))
            read(split, info.property, &figures.kernelValue(info.property));
    }
    return figures;
}

std::unique_ptr<RcgReader> MakeV1Reader(CgroupFs& fs, const CgroupMounts& mounts) {
    return std::unique_ptr<RcgReader>(new V1Reader(fs, mounts));
}

}  // namespace detail
}  // namespace TqRcgCtrllr
