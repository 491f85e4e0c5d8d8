// A store near its limit, through a real tqd and the real cgroup tools: no
// creation ever makes the store larger than tqd reads, whether the bulk is a
// long group list (which a creation compacts) or another value (which it
// cannot shrink), and tqd starts again afterwards.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "host/StoreText.h"
#include "host/TQPlatformInfo.h"
#include "tests/support/TqdHarness.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace tqdtest;

constexpr std::size_t kNameLength = 255;
constexpr int kCycles = 12;
constexpr std::size_t kRoom = 3000;  // bytes left below the limit

std::string LongName(const std::string& suffix) {
    std::string name = tqtest::OwnedGroupName(suffix + "_");
    name.resize(kNameLength, 'x');
    return name;
}

std::size_t StoreSize(const TqdProcess& tqd) {
    struct stat st;
    return stat(tqd.store().path().c_str(), &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0;
}

// Fills [Base] `key` so that the store ends kRoom bytes below its limit.
void FillStore(const TqdProcess& tqd, const std::string& key, const std::string& unit) {
    const std::size_t lineOverhead = key.size() + 2;  // "key=" ... "\n"
    const std::size_t want = tqfw::kStoreSizeLimit - kRoom - StoreSize(tqd) - lineOverhead;
    std::string value;
    while (value.size() + unit.size() <= want) value += unit;
    value.resize(want, 'x');
    TQPlatformInfo store;  // TQ_CONFIG names tqd's store while it lives
    ASSERT_NE(0, store.setString("Base", key.c_str(), value.data(), static_cast<std::int32_t>(value.size())));
    ASSERT_GE(StoreSize(tqd), tqfw::kStoreSizeLimit - kRoom - 2);
    ASSERT_LE(StoreSize(tqd), tqfw::kStoreSizeLimit);
}

struct LimitCase {
    const char* what;
    const char* key;      // the value that makes the store large
    bool listShrinks;     // a creation compacts it
};

TEST(TqdStoreLimit, CreationsNearTheLimitNeverMakeAStoreTqdCannotRead) {
    TQ_REQUIRE_SYSTEM();
    const LimitCase cases[] = {
        {"a group list of vanished groups", "sTQRCGMGRGROUPS", true},
        {"another value", "sTQTESTFILLER", false},
    };
    for (const LimitCase& limitCase : cases) {
        SCOPED_TRACE(limitCase.what);
        std::vector<std::string> groups;
        for (int i = 0; i < kCycles; ++i) groups.push_back(LongName("lim" + std::to_string(i)));
        tqtest::GroupCleanup cleanup(groups);
        TqdProcess tqd("", {}, tqtest::BaseLine());
        FillStore(tqd, limitCase.key, " " + LongName("gone"));
        int created = 0;
        for (const std::string& group : groups) {
            const std::string reply = TextOf(Ask(tqd.port(), Frame(RcgMsgCreateGroup, group)));
            if (reply == "Success") {
                ++created;
                EXPECT_TRUE(GroupExists(group));
                EXPECT_EQ(TextOf(Ask(tqd.port(), Frame(RcgMsgDeleteGroup, group))), "Success") << tqd.log();
            } else {
                EXPECT_NE(std::string::npos, reply.find("774")) << reply;
            }
            EXPECT_FALSE(GroupExists(group)) << group;
            ASSERT_LE(StoreSize(tqd), tqfw::kStoreSizeLimit);
        }
        if (limitCase.listShrinks) {
            EXPECT_EQ(created, kCycles) << tqd.log();
            EXPECT_LT(StoreSize(tqd), tqfw::kStoreSizeLimit - (tqfw::kStoreSizeLimit >> 1));
        } else {
            EXPECT_GT(created, 0);
            EXPECT_LT(created, kCycles) << "the room runs out before the last cycle";
        }
        std::string problem;
        TQPlatformInfo store;
        EXPECT_TRUE(store.check(&problem)) << problem;
        EXPECT_TRUE(tqd.restart()) << tqd.errText();
        EXPECT_EQ(TextOf(Ask(tqd.port(), Frame(RcgMsgDeleteGroup, groups.front()))), "Success");
    }
}

}  // namespace
