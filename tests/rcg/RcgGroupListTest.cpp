// The bounded group list: short lists stay as every creation appended them,
// long ones are compacted to the groups that exist; and requests that change
// nothing leave the store file alone.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <list>
#include <set>
#include <string>
#include <vector>

#include "host/StoreText.h"
#include "host/TQPlatformInfo.h"
#include "rcg/RcgCapKeeper.h"
#include "rcg/RcgRecord.h"
#include "rcg/TqRcgCtrllr.h"
#include "tests/support/FakeCgroupFs.h"
#include "tests/support/TestSupport.h"

using namespace TqRcgCtrllr;
using namespace TqRcgCtrllr::detail;

namespace {

using tqtest::TemporaryFiles;

const char kBase[] = "/sys/fs/cgroup/tqrcg";

// Names of vanished groups, repeated, until the text passes `size` bytes.
std::string ListOf(const std::string& unit, std::size_t size) {
    std::string list;
    while (list.size() <= size) list += unit;
    return list;
}

struct CompactionCase {
    const char* what;
    std::string before;  // "<absent>" for none
    std::string name;
    std::set<std::string> existing;
    std::string after;   // "<unchanged>" when the list is left as it is
    std::size_t vanished;
    std::size_t repeats;
};

TEST(rcgGroupListCompaction, ShortListsGrowAsAppendedAndLongOnesKeepTheExistingGroupsInOrder) {
    const std::size_t size = kGroupListCompactionSize;
    const std::string shortList = ListOf(" gone web", size - 16);
    std::string exactly = " " + std::string(size - 5, 'a') + " web";  // exactly the size
    const std::string longGone = ListOf(" gone_a gone_b", size);
    const std::vector<CompactionCase> cases = {
        {"no list yet", "<absent>", "web", {}, " web", 0, 0},
        {"empty list", "", "web", {}, " web", 0, 0},
        {"short list keeps repeats", " web db web", "web", {"web", "db"}, " web db web web", 0, 0},
        {"short list keeps vanished names", shortList, "db", {"web"}, shortList + " db", 0, 0},
        {"at the size it is still short", exactly, "web", {}, exactly + " web", 0, 0},
        {"vanished names go, order is kept", " z_web" + longGone + " a_db", "new", {"z_web", "a_db"},
         " z_web a_db new", 2, longGone.size() / 14 * 2 - 2},
        {"repeats go, the first is kept", " db" + longGone + " web db web", "api", {"db", "web"},
         " db web api", 2, longGone.size() / 14 * 2 - 2 + 2},
        {"a listed name is not written again", longGone + " web", "web", {"web"}, "<unchanged>", 0, 0},
        {"a name listed only as gone is not written again", longGone, "gone_a", {}, "<unchanged>", 0, 0},
    };
    for (const CompactionCase& c : cases) {
        SCOPED_TRACE(c.what);
        const bool absent = c.before == "<absent>";
        const GroupListChange change = GroupListAfterCreation(
            absent ? nullptr : &c.before, c.name, [&c](const std::string& name) { return c.existing.count(name) != 0; });
        if (c.after == "<unchanged>") {
            EXPECT_FALSE(change.value.has_value());
        } else {
            ASSERT_TRUE(change.value.has_value());
            EXPECT_EQ(*change.value, c.after);
            // A short list is byte for byte what the plain append writes.
            if (absent || c.before.size() <= size) {
                EXPECT_EQ(*change.value, AppendToGroupList(absent ? nullptr : &c.before, c.name));
            }
        }
        EXPECT_EQ(change.vanished.size(), c.vanished);
        EXPECT_EQ(change.repeats, c.repeats);
    }
}

TEST(rcgGroupListCompaction, NamesMissingFromTheListAreAddedOnce) {
    const std::string list = " web db";
    EXPECT_EQ(WithMissingNames(&list, {"api", "web", "api"}).value_or("<unchanged>"), " web db api");
    EXPECT_EQ(WithMissingNames(&list, {"db"}).value_or("<unchanged>"), "<unchanged>");
    EXPECT_EQ(WithMissingNames(nullptr, {"web"}).value_or("<unchanged>"), " web");
}

// ---- through the controller, on a cgroup2 filesystem in memory ---------------

tqfw::FileIdentity StoreIdentity() { return tqfw::IdentityOfPath(TQPlatformInfo().path()); }

std::string GroupList() {
    TQPlatformInfo store;
    std::string value;
    return store.getString("Base", "sTQRCGMGRGROUPS", value) ? value : "<absent>";
}

class rcgBoundedGroupList : public ::testing::Test {
protected:
    tqtest::TempStore store{"dTQDEBUGLEVEL=4\n"};
    tqtest::FakeCgroupFs fs;

    void Create(const char* name) {
        TqRcgPtr group;
        const CQiError result = GetNewRcg(name, group);
        EXPECT_FALSE(result.IsError()) << result.AsString();
    }
    void SetList(const std::string& list) {
        TQPlatformInfo info;
        ASSERT_NE(0, info.setString("Base", "sTQRCGMGRGROUPS", list.data(), static_cast<std::int32_t>(list.size())));
    }
};

TEST_F(rcgBoundedGroupList, ACreationCompactsALongListToTheGroupsThatExist) {
    Create("web");
    Create("db");
    Create("cpu:/jobs/nightly");
    ASSERT_FALSE(DeleteRcg("db").IsError());
    const std::string history = ListOf(" old_a old_b jobs/old", kGroupListCompactionSize);
    SetList(" web db" + history + " cpu:/jobs/nightly web");
    Create("api");
    EXPECT_EQ(GroupList(), " web cpu:/jobs/nightly api");
    EXPECT_NE(std::string::npos, store.log().find(" INFO TqRcgCtrllr::GetNewRcg ")) << store.log();
    // The list is short again: the next creations append as before.
    Create("web");
    EXPECT_EQ(GroupList(), " web cpu:/jobs/nightly api web");
}

TEST_F(rcgBoundedGroupList, RequestsThatChangeNothingLeaveTheStoreFileAlone) {
    Create("web");
    RememberCap("web", 30);
    const std::string history = ListOf(" old_a", kGroupListCompactionSize);
    struct Step {
        const char* what;
        void (*request)();
    };
    const Step steps[] = {
        {"a cap equal to the remembered one", [] { RememberCap("web", 30); }},
        {"a re-creation the long list shows", [] {
             TqRcgPtr group;
             EXPECT_FALSE(GetNewRcg("web", group).IsError());
         }},
    };
    SetList(history + " web");
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        const tqfw::FileIdentity before = StoreIdentity();
        step.request();
        EXPECT_TRUE(before == StoreIdentity());
        EXPECT_EQ(TemporaryFiles(store.dir()), 0);
    }
}

TEST_F(rcgBoundedGroupList, DeletingANeverCappedGroupKeepsTheStoresInodeAndModificationTime) {
    Create("web");
    Create("plain");
    RememberCap("web", 40);
    struct stat before;
    ASSERT_EQ(0, stat(store.path().c_str(), &before));
    // What the daemon does for a delete request.
    ASSERT_FALSE(DeleteRcg("plain").IsError());
    ForgetCap("plain");
    struct stat after;
    ASSERT_EQ(0, stat(store.path().c_str(), &after));
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
    EXPECT_FALSE(fs.isDir(std::string(kBase) + "/plain"));
    // A capped group's delete still forgets its cap.
    ASSERT_FALSE(DeleteRcg("web").IsError());
    ForgetCap("web");
    EXPECT_EQ(std::string::npos, store.text().find("web=40"));
}

TEST_F(rcgBoundedGroupList, RemovedProcessesReachTheDummyGroupWhetherItIsThereOrNot) {
    const std::string dummy = std::string(kBase) + "/tqrcgmgrdummy";
    struct Case {
        const char* what;
        bool dummyThere;
        std::list<unsigned int> pids;
        bool fails;
        std::vector<std::string> inDummy;
    };
    const Case cases[] = {
        {"dummy group missing: made", false, {4711, 4712}, false, {"4711", "4712"}},
        {"dummy group there: written straight", true, {4711, 4712, 4713}, false, {"4711", "4712", "4713"}},
        {"a process that is gone ends the move", true, {4711, 999, 4713}, true, {"4711"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TqRcgPtr group;
        ASSERT_FALSE(GetNewRcg("web", group).IsError());
        ASSERT_FALSE(group->AssignPidsTo({4711, 4712, 4713}).IsError());
        if (c.dummyThere) {
            TqRcgPtr made;
            ASSERT_FALSE(GetNewRcg("tqrcgmgrdummy", made).IsError());
        }
        EXPECT_EQ(group->RemovePidsFrom(c.pids).IsError(), c.fails);
        EXPECT_EQ(fs.procsOf(dummy), c.inDummy);
        ASSERT_FALSE(group->AssignPidsTo({4711, 4712, 4713}).IsError());
        ASSERT_FALSE(DeleteRcg("tqrcgmgrdummy").IsError());
        ASSERT_FALSE(fs.isDir(dummy));
    }
}

}  // namespace
