// Picks the driver of the hierarchy in use, and the driver of a host where no
// group can be made.
#include "RcgDriver.h"

#include "../common/TqRcgDefs.h"
#include "../host/EvDebug.h"

namespace TqRcgCtrllr {
namespace detail {

namespace {

const char kFile[] = "RcgDriver.cpp";
const char kChooseFunction[] = "std::unique_ptr<RcgDriver> TqRcgCtrllr::detail::ChooseDriver()";
const char kChooseTag[] = "TqRcgCtrllr::ChooseGroups";

// Refuses every request with the reason, which it logs as it answers.
class RefusingDriver : public RcgDriver, public RefusingReader {
public:
    RefusingDriver(const CQiError& why, const std::string& text) : RefusingReader(text), m_error(why) {}
    CQiError find(const RcgName&, TqRcgPtr&) override { return refuse(); }
    CQiError create(const RcgName&, TqRcgPtr&) override { return refuse(); }
    CQiError remove(const RcgName&) override { return refuse(); }
    CQiError apply(const RcgName&, const std::vector<RcgSetting>&) override { return refuse(); }

private:
    CQiError refuse() const {
        EvEvent log;
        log.Error(kChooseTag, "%s", m_why.c_str());
        return m_error;
    }

    CQiError m_error;
};

}  // namespace

std::unique_ptr<RcgDriver> ChooseDriver() {
    CgroupFs& fs = InstalledCgroupFs();
    const HierarchyChoice choice = ChooseHierarchyInUse(fs);
    if (!choice.problem.empty()) {
        const CQiError why = FXErrorUtil::ErrorWin32(FXCodeLocation{kFile, kChooseFunction, __LINE__}, choice.code,
                                                     "%s", choice.problem.c_str());
        return std::unique_ptr<RcgDriver>(new RefusingDriver(why, choice.problem));
    }
    if (choice.hierarchy.kind == Hierarchy::kCgroup2)
        return MakeCgroup2Driver(fs, choice.hierarchy.mount, choice.base);
    return MakeV1Driver(fs, choice.hierarchy.mounts);
}

std::unique_ptr<RcgDriver> MakeRefusingDriver(const CQiError& why) {
    return std::unique_ptr<RcgDriver>(new RefusingDriver(why, why.AsString()));
}

}  // namespace detail
}  // namespace TqRcgCtrllr
