// Picks the reader of the hierarchy in use, and what every reader shares.
#include "RcgReader.h"

#include "../common/TqRcgDefs.h"
#include "RcgControlFiles.h"

namespace TqRcgCtrllr {
namespace detail {

GroupFigures RefusingReader::figures(const std::string& name) {
    GroupFigures missing;
    missing.name = name;
    missing.state = GroupFigures::kMissing;
    return missing;
}

HierarchyChoice ChooseHierarchyInUse(CgroupFs& fs) {
    HierarchyChoice choice;
    choice.hierarchy = ChooseHierarchy(fs);
    switch (choice.hierarchy.kind) {
        case Hierarchy::kCgroup2WithoutCpu:
            choice.code = kTqWin32CommandFailed;
            choice.problem = CpuUnavailableText(choice.hierarchy);
            break;
        case Hierarchy::kCgroup2:
            choice.base = Cgroup2Base(&choice.problem);
            choice.code = kTqWin32InvalidName;
            break;
        case Hierarchy::kV1:
            break;
    }
    return choice;
}

std::unique_ptr<RcgReader> ChooseReader() {
    CgroupFs& fs = InstalledCgroupFs();
    const HierarchyChoice choice = ChooseHierarchyInUse(fs);
    if (!choice.problem.empty()) return std::unique_ptr<RcgReader>(new RefusingReader(choice.problem));
    if (choice.hierarchy.kind == Hierarchy::kCgroup2) return MakeCgroup2Reader(fs, choice.hierarchy.mount, choice.base);
    return MakeV1Reader(fs, choice.hierarchy.mounts);
}

MachineFacts ReadMachineFacts(CgroupFs& fs, long processors) {
    MachineFacts machine;
    machine.processors = processors;
    std::string text;
    if (fs.readFile(cgfile::machine::kMeminfo, &text) == 0) machine.memoryBytes = MemTotalBytes(text);
    if (fs.readFile(cgfile::machine::kOnlineCpus, &text) == 0) ParseCpuList(text, &machine.onlineCpus);
    return machine;
}

}  // namespace detail
}  // namespace TqRcgCtrllr
