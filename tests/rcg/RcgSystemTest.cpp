// The resource groups on the host's hierarchy: the real cgroup tools and
// the cgroup v1 cpu hierarchy, or the cgroup2 mount under the test's base.  Every group is owned by this test process and removed on every
// path; only this test's own children are moved.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "host/TQPlatformInfo.h"
#include "rcg/TqRcgCtrllr.h"
#include "tests/support/TestSupport.h"

namespace {

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string GroupPath(const std::string& group) { return tqtest::GroupFolder(group); }

// Removes the dummy group at the end only when this test brought it.
class DummyGroupGuard {
public:
    DummyGroupGuard() : m_existed(Exists(GroupPath(k_TQRCGMGR_DummyGroup))) {}
    ~DummyGroupGuard() {
        if (!m_existed) tqtest::GroupCleanup::removeGroup(k_TQRCGMGR_DummyGroup);
    }

private:
    bool m_existed;
};

// Lookups name exactly one group: neither a neighbour whose name holds the
// wanted one as a word or a regular expression, nor a group of another
// hierarchy; nested and controller-qualified names are found after creation.
TEST(rcgSystem, LookupsAnswerForExactlyTheNamedGroup) {
    TQ_REQUIRE_SYSTEM();
    tqtest::TempStore store(tqtest::BaseSection());
    const std::string base = tqtest::OwnedGroupName("lk");
    tqtest::GroupCleanup cleanup({base + "n-b", base + "mXb", base + "p", base + "r", base + "n", base + "m.b"});
    TqRcgPtr group;
    ASSERT_FALSE(TqRcgCtrllr::GetNewRcg((base + "n-b").c_str(), group).IsError());
    ASSERT_FALSE(TqRcgCtrllr::GetNewRcg((base + "mXb").c_str(), group).IsError());
    EXPECT_EQ(1168u, TqRcgCtrllr::GetSysRcg((base + "n").c_str(), group).Win32Code());
    EXPECT_EQ(1168u, TqRcgCtrllr::GetSysRcg((base + "m.b").c_str(), group).Win32Code());

    const std::string nested = base + "p/q";
    ASSERT_FALSE(TqRcgCtrllr::GetNewRcg(nested.c_str(), group).IsError());
    TqRcgPtr found;
    ASSERT_FALSE(TqRcgCtrllr::GetSysRcg(nested.c_str(), found).IsError());
    EXPECT_FALSE(found->setCPUConstraint(10).IsError());
    EXPECT_EQ(std::to_string(10 * tqtest::ProcessorCount() * 1000) + " 100000", tqtest::CapSetting(nested));
    EXPECT_FALSE(TqRcgCtrllr::GetSysRcg((base + "p").c_str(), found).IsError()) << "the parent of p/q";
    EXPECT_EQ(1168u, TqRcgCtrllr::GetSysRcg((base + "p/x").c_str(), found).Win32Code());

    const std::string qualified = "cpu:/" + base + "r";
    ASSERT_FALSE(TqRcgCtrllr::GetNewRcg(qualified.c_str(), group).IsError());
    EXPECT_FALSE(TqRcgCtrllr::GetSysRcg(qualified.c_str(), found).IsError());
    EXPECT_FALSE(TqRcgCtrllr::GetSysRcg((base + "r").c_str(), found).IsError());
}

TEST(rcgSystem, CreatesFindsAndDeletesAGroup) {
    TQ_REQUIRE_SYSTEM();
    tqtest::TempStore store(tqtest::BaseSection());
    const std::string name = tqtest::OwnedGroupName("life");
    const std::string missing = tqtest::OwnedGroupName("missing");
    tqtest::GroupCleanup cleanup({name, missing});

    TqRcgPtr created;
    CQiError result = TqRcgCtrllr::GetNewRcg(name.c_str(), created);
    ASSERT_FALSE(result.IsError()) << result.AsString();
    ASSERT_TRUE(created);
    EXPECT_TRUE(Exists(GroupPath(name)));
    {
        TQPlatformInfo info;
        info.setFocus(TQPI_Focus::getFocus());
        std::string list;
        ASSERT_TRUE(info.getString("Base", k_TQRCGMGR_Groups_RegKey, list));
        EXPECT_EQ(" " + name, list);
    }

    TqRcgPtr found;
    result = TqRcgCtrllr::GetSysRcg(name.c_str(), found);
    EXPECT_FALSE(result.IsError()) << result.AsString();
    EXPECT_TRUE(found);

    // A group that is not there: the listing selects nothing (exit status 1).
    TqRcgPtr none;
    result = TqRcgCtrllr::GetSysRcg(missing.c_str(), none);
    EXPECT_EQ(1168u, result.Win32Code()) << result.AsString();
    EXPECT_FALSE(none);

    result = TqRcgCtrllr::DeleteRcg(name.c_str());
    EXPECT_FALSE(result.IsError()) << result.AsString();
    EXPECT_FALSE(Exists(GroupPath(name)));
    result = TqRcgCtrllr::DeleteRcg(name.c_str());
    EXPECT_FALSE(result.IsError()) << "deleting again: " << result.AsString();
    result = TqRcgCtrllr::GetSysRcg(name.c_str(), none);
    EXPECT_EQ(1168u, result.Win32Code()) << result.AsString();
    EXPECT_EQ(std::string::npos, store.log().find(" ERROR ")) << store.log();
}

TEST(rcgSystem, DeletesOnlyTheNamedGroupNotItsNamesakes) {
    TQ_REQUIRE_SYSTEM();
    tqtest::TempStore store(tqtest::BaseSection());
    const std::string name = tqtest::OwnedGroupName("web");
    const std::string longer = name + "-old";
    const std::string child = tqtest::OwnedGroupName("other") + "/" + name;
    tqtest::GroupCleanup cleanup({name, longer, tqtest::OwnedGroupName("other")});

    TqRcgPtr group;
    for (const std::string& each : {name, longer, child}) {
        CQiError result = TqRcgCtrllr::GetNewRcg(each.c_str(), group);
        ASSERT_FALSE(result.IsError()) << each << ": " << result.AsString();
    }
    CQiError result = TqRcgCtrllr::DeleteRcg(name.c_str());
    EXPECT_FALSE(result.IsError()) << result.AsString();
    EXPECT_FALSE(Exists(GroupPath(name)));
    EXPECT_TRUE(Exists(GroupPath(longer)));
    EXPECT_TRUE(Exists(GroupPath(child)));
}

TEST(rcgSystem, CapsAssignsAndRemovesProcesses) {
    TQ_REQUIRE_SYSTEM();
    tqtest::TempStore store(tqtest::BaseSection());
    DummyGroupGuard dummyGuard;
    const std::string name = tqtest::OwnedGroupName("cap");
    tqtest::GroupCleanup cleanup({name});

    TqRcgPtr group;
    CQiError result = TqRcgCtrllr::GetNewRcg(name.c_str(), group);
    ASSERT_FALSE(result.IsError()) << result.AsString();

    const int processors = static_cast<int>(tqtest::ProcessorCount());
    ASSERT_GT(processors, 0);
    result = group->setCPUConstraint(50);
    ASSERT_FALSE(result.IsError()) << result.AsString();
    EXPECT_EQ(std::to_string(50 * processors * 1000) + " 100000", tqtest::CapSetting(name));

    // One spinning process can use one processor: measure under a cap far
    // below that, so that the cap holds it back even on a busy machine.
    const unsigned int cap = 10 / processors > 0 ? 10 / processors : 1;
    result = group->setCPUConstraint(cap);
    ASSERT_FALSE(result.IsError()) << result.AsString();
    EXPECT_EQ(std::to_string(cap * processors * 1000) + " 100000", tqtest::CapSetting(name));

    tqtest::BusyChild child;
    result = group->AssignPidsTo({static_cast<unsigned int>(child.pid())});
    ASSERT_FALSE(result.IsError()) << result.AsString();
    EXPECT_EQ("/" + name, tqtest::CpuCgroupOf(child.pid()));

    // The cap shows by its upper bound and by the kernel throttling the group.
    const long long throttled = tqtest::ThrottledPeriods(GroupPath(name));
    ASSERT_GE(throttled, 0);
    const double used = tqtest::MeasureCpuPercentOfMachine(child.pid(), 2.0);
    EXPECT_LE(used, cap + 5.0);
    EXPECT_TRUE(tqtest::ThrottlingGrows(GroupPath(name), throttled));

    result = group->RemovePidsFrom({static_cast<unsigned int>(child.pid())});
    ASSERT_FALSE(result.IsError()) << result.AsString();
    EXPECT_EQ(std::string("/") + k_TQRCGMGR_DummyGroup, tqtest::CpuCgroupOf(child.pid()));

    group.reset();  // the object goes, the control group stays
    EXPECT_TRUE(Exists(GroupPath(name)));
    result = TqRcgCtrllr::DeleteRcg(name.c_str());
    EXPECT_FALSE(result.IsError()) << result.AsString();
    EXPECT_FALSE(Exists(GroupPath(name)));
}

}  // namespace
