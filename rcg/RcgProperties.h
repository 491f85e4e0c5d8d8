// The properties a group may carry besides its CPU cap: CPU weight and
// burst, processors, memory limits and the process count.  Each is one table
// entry: the name users write (the cgroup2 file's), the controller that
// carries it, its files on both hierarchies, the values it takes, and the
// code that names it in a request.  A value is parsed once into RcgValue and
// converted for the kernel here.  Pure: nothing here touches a file.
#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace TqRcgCtrllr {

enum class RcgController { kCpu, kCpuset, kMemory, kPids };
// "cpu", "cpuset", "memory", "pids".
const char* ControllerName(RcgController controller);

enum class RcgProperty { kCpuWeight, kCpuBurst, kCpus, kMemoryMax, kMemoryHigh, kSwapMax, kPidsMax };
constexpr std::size_t kRcgPropertyCount = 7;

enum class RcgValueKind {
    kWeight,   // 1 to 10000
    kShare,    // a share of the whole machine in percent, 0 to 100, like a cap
    kCpuList,  // "0-3,6"
    kSize,     // bytes with K/M/G/T (powers of 1024), a percentage of memory, or max
    kCount,    // a number or max
};

struct RcgPropertyInfo {
    RcgProperty property;
    const char* name;      // as users write it: the cgroup2 file ("memory.max")
    const char* alias;     // a short alias ("mem")
    RcgController controller;
    RcgValueKind kind;
    const char* v2File;    // the cgroup2 file
    const char* v1File;    // the cgroup v1 file; null where v1 has none
    char wireCode;         // names it in a request
    const char* help;      // the values it takes, for --help and errors
};

// Every property, in the order they are applied and shown.
const std::array<RcgPropertyInfo, kRcgPropertyCount>& RcgProperties();
const RcgPropertyInfo& PropertyInfo(RcgProperty property);
// By name or alias; null when there is none.
const RcgPropertyInfo* FindProperty(const std::string& name);
const RcgPropertyInfo* FindPropertyByWireCode(char code);

// A value as asked, parsed once.
struct RcgValue {
    enum Kind { kMax, kNumber, kPercent, kCpuList };
    Kind kind = kNumber;
    std::uint64_t number = 0;  // bytes, weight, share, count or percent of memory
    std::string cpus;          // kCpuList: the list in its short form ("0-3,6")
    bool operator==(const RcgValue& other) const {
        return kind == other.kind && number == other.number && cpus == other.cpus;
    }
};

struct RcgSetting {
    RcgProperty property = RcgProperty::kCpuWeight;
    RcgValue value;
};

// The value of `property` from its text ("64M", "10%", "max", "300",
// "0-3,6"); false with *problem, a sentence that says what is allowed.
bool ParseRcgValue(RcgProperty property, const std::string& text, RcgValue* value, std::string* problem);
// "NAME=VALUE" with NAME a property's name or alias.
bool ParseRcgSetting(const std::string& text, RcgSetting* setting, std::string* problem);
// Settings with no property twice; false with *problem naming the first
// property given twice.
bool ParseRcgSettings(const std::vector<std::string>& texts, std::vector<RcgSetting>* settings,
                      std::string* problem);

// The value in its short form, as ParseRcgValue reads it back: sizes in the
// largest unit that holds them whole ("64M"), "10%", "max", "0-3,6".
std::string FormatRcgValue(RcgProperty property, const RcgValue& value);
// "memory.max=64M".
std::string FormatRcgSetting(const RcgSetting& setting);
// A size for people: "64.0M", "1.5G", "512" (bytes).
std::string HumanBytes(std::uint64_t bytes);

// ---- processor lists -------------------------------------------------------

// The processors of a list such as "0-3,6" (also the kernel's
// cpuset.cpus and /sys/devices/system/cpu/online); false when it is not one.
bool ParseCpuList(const std::string& text, std::set<unsigned>* cpus);
// The short form of a set: "0-3,6".
std::string FormatCpuList(const std::set<unsigned>& cpus);

// ---- the kernel's terms ----------------------------------------------------

// The machine a value is converted for.
struct MachineFacts {
    std::uint64_t memoryBytes = 0;  // MemTotal
    long processors = 0;            // a share is of this many
    std::set<unsigned> onlineCpus;
};

// MemTotal of a /proc/meminfo text, in bytes; 0 when missing.
std::uint64_t MemTotalBytes(const std::string& meminfo);

// What a setting asks of the machine in its own units: bytes for a size
// (a percentage of memory resolved), microseconds per period for a share,
// the number otherwise; `unlimited` for max.
struct Resolved {
    bool unlimited = false;
    std::uint64_t number = 0;
    std::string cpus;
};
Resolved Resolve(const RcgSetting& setting, const MachineFacts& machine);

// Why the machine cannot take the setting (processors that are not online,
// a percentage of a machine whose memory is unknown); empty when it can.
std::string MachineProblem(const RcgSetting& setting, const MachineFacts& machine);

// The text to write into the property's cgroup2 file.
std::string Cgroup2Text(const Resolved& value, RcgProperty property);
// The text to write into the property's cgroup v1 file (cpu.shares is the
// weight × 1024 / 100, as systemd converts; max is -1 for sizes).
std::string V1Text(const Resolved& value, RcgProperty property);

// The value a kernel file holds, in the property's terms: "max", a number of
// bytes, a weight, a share of `processors` in percent, a CPU list; empty when
// the text is not one.  `v1` selects the v1 file's units.
std::string ReadKernelValue(RcgProperty property, const std::string& text, bool v1, long processors);

// Whether a kernel file's text already holds the resolved value (a size
// within the kernel's page rounding).
bool KernelHolds(const Resolved& wanted, RcgProperty property, const std::string& fileText, bool v1);

}  // namespace TqRcgCtrllr
