// Remembered caps: the stored list, and applying it again against an
// in-memory cgroup2 filesystem.
#include <gtest/gtest.h>

#include "host/TQPlatformInfo.h"
#include "rcg/RcgCapKeeper.h"
#include "rcg/RcgCaps.h"
#include "rcg/TqRcgCtrllr.h"
#include "tests/support/FakeCgroupFs.h"
#include "tests/support/TestSupport.h"

using namespace TqRcgCtrllr;
using namespace TqRcgCtrllr::detail;

namespace {

std::string Caps() {
    TQPlatformInfo store;
    store.setFocus(TQPI_Focus::getFocus());
    std::string value;
    return store.getString("Base", kCapsKey, value) ? value : "<absent>";
}

TEST(rcgCaps, TheStoredListKeepsOneEntryPerGroup) {
    EXPECT_EQ(" web=25", WithCap(nullptr, "web", 25));
    std::string value = " web=25 db=50";
    EXPECT_EQ(" web=30 db=50", WithCap(&value, "web", 30));
    EXPECT_EQ(" cpu:/web=30 db=50", WithCap(&value, "cpu:/web", 30)) << "the same group, named otherwise";
    EXPECT_EQ(" web=25 db=50 jobs/a=5", WithCap(&value, "jobs/a", 5));
    EXPECT_EQ(" db=50", WithoutCap(&value, "cpu,cpuacct:/web"));
    EXPECT_EQ(" web=25 db=50", WithoutCap(&value, "we"));
    EXPECT_EQ("", WithoutCap(nullptr, "web"));

    const std::vector<RememberedCap> caps = ParseCaps("  web=25 bad x= =3 y=1a z=99999999999 cpu:/a/b=0 ");
    ASSERT_EQ(2u, caps.size());
    EXPECT_EQ("web", caps[0].name);
    EXPECT_EQ(25u, caps[0].percent);
    EXPECT_EQ("cpu:/a/b", caps[1].name);
    unsigned int percent = 1;
    EXPECT_TRUE(FindCap(caps, "a/b", &percent));
    EXPECT_EQ(0u, percent);
    EXPECT_FALSE(FindCap(caps, "a", &percent));
}

class rcgCapKeeper : public ::testing::Test {
protected:
    tqtest::TempStore store{"dTQDEBUGLEVEL=4\n"};
    tqtest::FakeCgroupFs fs;
    const std::string web = "/sys/fs/cgroup/tqrcg/web";
};

TEST_F(rcgCapKeeper, StartRecreatesMissingGroupsAndFixesWrongQuotas) {
    RememberCap("web", 25);
    RememberCap("db", 50);
    RememberCap("../x", 5);
    TqRcgPtr group;
    ASSERT_FALSE(TqRcgCtrllr::GetNewRcg("db", group).IsError());
    ASSERT_FALSE(group->setCPUConstraint(50).IsError());
    fs.writes.clear();

    EXPECT_EQ(1, ReapplyCaps(nullptr)) << "the bad name fails alone";
    EXPECT_EQ("50000 100000\n", fs.fileText(web + "/cpu.max")) << "web was missing: made and capped";
    EXPECT_EQ("100000 100000\n", fs.fileText("/sys/fs/cgroup/tqrcg/db/cpu.max"));
    for (const std::string& write : fs.writes) {
        EXPECT_EQ(std::string::npos, write.find("db/cpu.max")) << "db was right and is left alone";
    }
    const std::string log = store.log();
    EXPECT_NE(std::string::npos, log.find("web 25%: quota none (group re-created) -> 50000")) << log;
    EXPECT_NE(std::string::npos, log.find("../x")) << log;
}

TEST_F(rcgCapKeeper, AChangeInProcessorsIsOneLineWithEveryQuota) {
    RememberCap("web", 25);
    RememberCap("db", 10);
    ReapplyCaps(nullptr);
    fs.processors = 1;
    EXPECT_EQ(0, ReapplyCaps("processors online changed from 2 to 1"));
    EXPECT_EQ("25000 100000\n", fs.fileText(web + "/cpu.max"));
    EXPECT_NE(std::string::npos,
              store.log().find("processors online changed from 2 to 1; caps applied again: "
                               "web 25%: quota 50000 -> 25000, db 10%: quota 20000 -> 10000"))
        << store.log();
    ForgetCap("cpu:/web");
    EXPECT_EQ(" db=10", Caps());
}

}  // namespace
