#include "RcgProperties.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "RcgControlFiles.h"
#include "RcgQuota.h"

namespace TqRcgCtrllr {

namespace {

constexpr std::uint64_t kLargestSize = 0x7fffffffffffffffull;  // the kernel's counters are signed 64-bit
constexpr std::uint64_t kPidsLimit = 4194304;                   // PID_MAX_LIMIT
constexpr std::uint64_t kWeightMin = 1, kWeightMax = 10000;
constexpr unsigned kCpuLimit = 8192;  // beyond any NR_CPUS
// cgroup v1 shows "no limit" as the largest page-aligned signed value.
constexpr std::uint64_t kV1Unlimited = 1ull << 62;
constexpr std::uint64_t kPageSize = 4096;

const std::array<RcgPropertyInfo, kRcgPropertyCount> kProperties = {{
    {RcgProperty::kCpuWeight, "cpu.weight", "weight", RcgController::kCpu, RcgValueKind::kWeight,
     cgfile::cpu::kWeight, cgfile::cpu::kV1Shares, 'W',
     "a weight from 1 to 10000 (100 is every group's default)"},
    {RcgProperty::kCpuBurst, "cpu.max.burst", "burst", RcgController::kCpu, RcgValueKind::kShare,
     cgfile::cpu::kMaxBurst, cgfile::cpu::kV1Burst, 'B',
     "a share of the whole machine in percent, 0 to 100, at most the cap"},
    {RcgProperty::kCpus, "cpuset.cpus", "cpus", RcgController::kCpuset, RcgValueKind::kCpuList, cgfile::cpuset::kCpus,
     cgfile::cpuset::kCpus, 'C', "a list of online processors such as 0-3,6"},
    {RcgProperty::kMemoryMax, "memory.max", "mem", RcgController::kMemory, RcgValueKind::kSize,
     cgfile::memory::kMax, cgfile::memory::kV1Limit, 'M',
     "bytes with K, M, G or T (powers of 1024), a percentage of the machine's memory, or max"},
    {RcgProperty::kMemoryHigh, "memory.high", "memhigh", RcgController::kMemory, RcgValueKind::kSize,
     cgfile::memory::kHigh, nullptr, 'H',
     "bytes with K, M, G or T (powers of 1024), a percentage of the machine's memory, or max"},
    {RcgProperty::kSwapMax, "memory.swap.max", "swap", RcgController::kMemory, RcgValueKind::kSize,
     cgfile::memory::kSwapMax, cgfile::memory::kV1MemswLimit, 'S',
     "bytes with K, M, G or T (powers of 1024), a percentage of the machine's memory, or max; 0 for no swap"},
    {RcgProperty::kPidsMax, "pids.max", "pids", RcgController::kPids, RcgValueKind::kCount, cgfile::pids::kMax,
     cgfile::pids::kMax, 'P', "a number of processes from 1 to 4194304, or max"},
}};

std::string Trim(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\n");
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(" \t\n") - first + 1);
}

// A plain decimal number that fits 64 bits.
bool Decimal(const std::string& text, std::uint64_t* value) {
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    *value = std::strtoull(text.c_str(), nullptr, 10);
    return errno == 0;
}

bool Fail(std::string* problem, const RcgPropertyInfo& info, const std::string& text, const std::string& why) {
    *problem = std::string(info.name) + "=" + text + ": " + why + "; " + info.name + " takes " + info.help;
    return false;
}

// K, M, G, T as powers of 1024; 1 for none; 0 for an unknown suffix.
std::uint64_t UnitOf(char suffix) {
    switch (suffix) {
        case 'k': case 'K': return 1ull << 10;
        case 'm': case 'M': return 1ull << 20;
        case 'g': case 'G': return 1ull << 30;
        case 't': case 'T': return 1ull << 40;
        default: return 0;
    }
}

bool ParseSize(const RcgPropertyInfo& info, const std::string& text, RcgValue* value, std::string* problem) {
    if (text == "max") {
        *value = RcgValue{RcgValue::kMax, 0, ""};
        return true;
    }
    if (!text.empty() && text[0] == '-') return Fail(problem, info, text, "a size cannot be negative");
    std::uint64_t number = 0;
    if (!text.empty() && text.back() == '%') {
        if (!Decimal(text.substr(0, text.size() - 1), &number) || number < 1 || number > 100)
            return Fail(problem, info, text, "a percentage of memory must be a whole number from 1 to 100");
        *value = RcgValue{RcgValue::kPercent, number, ""};
        return true;
    }
    std::uint64_t unit = 1;
    std::string digits = text;
    if (!digits.empty() && (digits.back() < '0' || digits.back() > '9')) {
        unit = UnitOf(digits.back());
        digits.pop_back();
    }
    if (unit == 0 || !Decimal(digits, &number)) return Fail(problem, info, text, "not a size");
    if (number > kLargestSize / unit) return Fail(problem, info, text, "too large");
    number *= unit;
    if (number == 0 && info.property != RcgProperty::kSwapMax)
        return Fail(problem, info, text, "a memory limit of 0 leaves the group no memory at all");
    *value = RcgValue{RcgValue::kNumber, number, ""};
    return true;
}

bool ParseInRange(const RcgPropertyInfo& info, const std::string& text, std::uint64_t low, std::uint64_t high,
                  bool maxAllowed, RcgValue* value, std::string* problem) {
    if (maxAllowed && text == "max") {
        *value = RcgValue{RcgValue::kMax, 0, ""};
        return true;
    }
    std::uint64_t number = 0;
    if (!Decimal(text, &number) || number < low || number > high)
        return Fail(problem, info, text, "out of range");
    *value = RcgValue{RcgValue::kNumber, number, ""};
    return true;
}

std::string Decimals(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    std::string shown = text;
    if (shown.size() > 2 && shown.compare(shown.size() - 2, 2, ".0") == 0) shown.resize(shown.size() - 2);
    return shown;
}

}  // namespace

const char* ControllerName(RcgController controller) {
    switch (controller) {
        case RcgController::kCpu: return "cpu";
        case RcgController::kCpuset: return "cpuset";
        case RcgController::kMemory: return "memory";
        case RcgController::kPids: return "pids";
    }
    return "cpu";
}

const std::array<RcgPropertyInfo, kRcgPropertyCount>& RcgProperties() { return kProperties; }

const RcgPropertyInfo& PropertyInfo(RcgProperty property) {
    for (const RcgPropertyInfo& info : kProperties) {
        if (info.property == property) return info;
    }
    return kProperties[0];
}

const RcgPropertyInfo* FindProperty(const std::string& name) {
    for (const RcgPropertyInfo& info : kProperties) {
        if (name == info.name || name == info.alias) return &info;
    }
    return nullptr;
}

const RcgPropertyInfo* FindPropertyByWireCode(char code) {
    for (const RcgPropertyInfo& info : kProperties) {
        if (info.wireCode == code) return &info;
    }
    return nullptr;
}

bool ParseRcgValue(RcgProperty property, const std::string& text, RcgValue* value, std::string* problem) {
    const RcgPropertyInfo& info = PropertyInfo(property);
    switch (info.kind) {
        case RcgValueKind::kWeight:
            return ParseInRange(info, text, kWeightMin, kWeightMax, false, value, problem);
        case RcgValueKind::kShare:
            return ParseInRange(info, text, 0, 100, false, value, problem);
        case RcgValueKind::kCount:
            return ParseInRange(info, text, 1, kPidsLimit, true, value, problem);
        case RcgValueKind::kSize:
            return ParseSize(info, text, value, problem);
        case RcgValueKind::kCpuList: {
            std::set<unsigned> cpus;
            if (!ParseCpuList(text, &cpus)) return Fail(problem, info, text, "not a processor list");
            *value = RcgValue{RcgValue::kCpuList, 0, FormatCpuList(cpus)};
            return true;
        }
    }
    return false;
}

bool ParseRcgSetting(const std::string& text, RcgSetting* setting, std::string* problem) {
    const std::size_t equals = text.find('=');
    const std::string name = text.substr(0, equals);
    const RcgPropertyInfo* info = FindProperty(name);
    if (info == nullptr) {
        std::string known;
        for (const RcgPropertyInfo& each : kProperties) known += std::string(known.empty() ? "" : ", ") + each.name;
        *problem = "unknown property \"" + name + "\" in \"" + text + "\"; the properties are " + known;
        return false;
    }
    if (equals == std::string::npos) {
        *problem = std::string("\"") + text + "\" gives no value: write " + info->name + "=VALUE, where VALUE is " +
                   info->help;
        return false;
    }
    RcgSetting parsed;
    parsed.property = info->property;
    if (!ParseRcgValue(info->property, text.substr(equals + 1), &parsed.value, problem)) return false;
    *setting = parsed;
    return true;
}

bool ParseRcgSettings(const std::vector<std::string>& texts, std::vector<RcgSetting>* settings,
                      std::string* problem) {
    std::vector<RcgSetting> parsed;
    for (const std::string& text : texts) {
        RcgSetting setting;
        if (!ParseRcgSetting(text, &setting, problem)) return false;
        for (const RcgSetting& earlier : parsed) {
            if (earlier.property == setting.property) {
                *problem = std::string(PropertyInfo(setting.property).name) + " is given twice";
                return false;
            }
        }
        parsed.push_back(setting);
    }
    *settings = parsed;
    return true;
}

std::string FormatRcgValue(RcgProperty property, const RcgValue& value) {
    switch (value.kind) {
        case RcgValue::kMax: return "max";
        case RcgValue::kPercent: return std::to_string(value.number) + "%";
        case RcgValue::kCpuList: return value.cpus;
        case RcgValue::kNumber: break;
    }
    if (PropertyInfo(property).kind != RcgValueKind::kSize || value.number == 0) return std::to_string(value.number);
    static const char kUnits[] = "TGMK";
    for (int i = 0; i < 4; ++i) {
        const std::uint64_t unit = 1ull << (10 * (4 - i));
        if (value.number % unit == 0) return std::to_string(value.number / unit) + kUnits[i];
    }
    return std::to_string(value.number);
}

std::string FormatRcgSetting(const RcgSetting& setting) {
    return std::string(PropertyInfo(setting.property).name) + "=" + FormatRcgValue(setting.property, setting.value);
}

std::string HumanBytes(std::uint64_t bytes) {
    static const char kUnits[] = "KMGT";
    if (bytes < 1024) return std::to_string(bytes);
    double value = double(bytes);
    int unit = -1;
    while (value >= 1024.0 && unit < 3) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%c", value, kUnits[unit]);
    return text;
}

bool ParseCpuList(const std::string& text, std::set<unsigned>* cpus) {
    const std::string list = Trim(text);
    std::set<unsigned> parsed;
    std::istringstream items(list);
    std::string item;
    while (std::getline(items, item, ',')) {
        const std::size_t dash = item.find('-');
        std::uint64_t first = 0, last = 0;
        if (!Decimal(item.substr(0, dash), &first)) return false;
        last = first;
        if (dash != std::string::npos && !Decimal(item.substr(dash + 1), &last)) return false;
        if (first > last || last >= kCpuLimit) return false;
        for (std::uint64_t cpu = first; cpu <= last; ++cpu) parsed.insert(static_cast<unsigned>(cpu));
    }
    if (parsed.empty() || list.back() == ',') return false;
    *cpus = parsed;
    return true;
}

std::string FormatCpuList(const std::set<unsigned>& cpus) {
    std::string text;
    for (auto it = cpus.begin(); it != cpus.end();) {
        const unsigned first = *it;
        unsigned last = first;
        for (++it; it != cpus.end() && *it == last + 1; ++it) last = *it;
        text += (text.empty() ? "" : ",") + std::to_string(first);
        if (last != first) text += "-" + std::to_string(last);
    }
    return text;
}

std::uint64_t MemTotalBytes(const std::string& meminfo) {
    std::istringstream lines(meminfo);
    std::string key, unit;
    std::uint64_t number = 0;
    while (lines >> key >> number) {
        std::getline(lines, unit);
        if (key == "MemTotal:") return number * (Trim(unit) == "kB" ? 1024 : 1);
    }
    return 0;
}

Resolved Resolve(const RcgSetting& setting, const MachineFacts& machine) {
    Resolved resolved;
    const RcgValue& value = setting.value;
    switch (value.kind) {
        case RcgValue::kMax:
            resolved.unlimited = true;
            return resolved;
        case RcgValue::kCpuList:
            resolved.cpus = value.cpus;
            return resolved;
        case RcgValue::kPercent:
            resolved.number = static_cast<std::uint64_t>(static_cast<unsigned __int128>(machine.memoryBytes) *
                                                         value.number / 100);
            return resolved;
        case RcgValue::kNumber:
            break;
    }
    resolved.number = PropertyInfo(setting.property).kind == RcgValueKind::kShare
                          ? ComputeCpuQuota(static_cast<unsigned>(value.number), static_cast<int>(machine.processors))
                          : value.number;
    return resolved;
}

std::string MachineProblem(const RcgSetting& setting, const MachineFacts& machine) {
    const RcgValue& value = setting.value;
    if (value.kind == RcgValue::kPercent && machine.memoryBytes == 0)
        return "the machine's memory cannot be read (/proc/meminfo), so a percentage of it cannot be set";
    if (value.kind != RcgValue::kCpuList) return std::string();
    std::set<unsigned> asked;
    ParseCpuList(value.cpus, &asked);
    std::set<unsigned> offline;
    for (unsigned cpu : asked) {
        if (!machine.onlineCpus.count(cpu)) offline.insert(cpu);
    }
    if (offline.empty()) return std::string();
    return "cpuset.cpus=" + value.cpus + " names processors that are not online (" + FormatCpuList(offline) +
           "); online now: " + (machine.onlineCpus.empty() ? "unknown" : FormatCpuList(machine.onlineCpus));
}

std::string Cgroup2Text(const Resolved& value, RcgProperty property) {
    if (PropertyInfo(property).kind == RcgValueKind::kCpuList) return value.cpus;
    if (value.unlimited) return "max";
    return std::to_string(value.number);
}

std::string V1Text(const Resolved& value, RcgProperty property) {
    switch (PropertyInfo(property).kind) {
        case RcgValueKind::kCpuList:
            return value.cpus;
        case RcgValueKind::kWeight:
            // cpu.shares takes 2 at least.
            return std::to_string(value.number * 1024 / 100 < 2 ? 2 : value.number * 1024 / 100);
        case RcgValueKind::kSize:
            return value.unlimited ? "-1" : std::to_string(value.number);
        case RcgValueKind::kCount:
            return value.unlimited ? "max" : std::to_string(value.number);
        case RcgValueKind::kShare:
            break;
    }
    return std::to_string(value.number);
}

std::string ReadKernelValue(RcgProperty property, const std::string& text, bool v1, long processors) {
    const std::string trimmed = Trim(text);
    const RcgValueKind kind = PropertyInfo(property).kind;
    if (kind == RcgValueKind::kCpuList) {
        std::set<unsigned> cpus;
        return ParseCpuList(trimmed, &cpus) ? FormatCpuList(cpus) : std::string();
    }
    if (trimmed == "max" || (v1 && trimmed == "-1")) return "max";
    std::uint64_t number = 0;
    if (!Decimal(trimmed, &number)) return std::string();
    switch (kind) {
        case RcgValueKind::kWeight:
            return std::to_string(v1 ? (number * 100 + 512) / 1024 : number);
        case RcgValueKind::kShare: {
            const double percent = QuotaPercent(static_cast<std::int64_t>(number), kCfsPeriodUs, processors);
            return percent < 0 ? std::string() : Decimals(percent);
        }
        case RcgValueKind::kSize:
            return v1 && number >= kV1Unlimited ? "max" : std::to_string(number);
        default:
            return std::to_string(number);
    }
}

bool KernelHolds(const Resolved& wanted, RcgProperty property, const std::string& fileText, bool v1) {
    const std::string trimmed = Trim(fileText);
    const RcgValueKind kind = PropertyInfo(property).kind;
    if (kind == RcgValueKind::kCpuList) return ReadKernelValue(property, trimmed, v1, 1) == wanted.cpus;
    const std::string wantedText = v1 ? V1Text(wanted, property) : Cgroup2Text(wanted, property);
    if (trimmed == wantedText) return true;
    if (kind != RcgValueKind::kSize || wanted.unlimited) {
        return v1 && kind == RcgValueKind::kSize && wanted.unlimited && ReadKernelValue(property, trimmed, true, 1) == "max";
    }
    std::uint64_t held = 0;
    if (!Decimal(trimmed, &held)) return false;
    // The kernel keeps whole pages: it rounds a size down.
    return held <= wanted.number && wanted.number - held < kPageSize;
}

}  // namespace TqRcgCtrllr
