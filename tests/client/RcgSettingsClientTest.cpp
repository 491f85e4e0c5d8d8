// The client functions that set properties: the frame they send, the input
// they refuse before sending, and a tqd too old to know them.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "include/tqrcgmgr/tqrcgmgr.h"
#include "service/TqRcgProtocol.h"
#include "tests/support/FakeTqd.h"
#include "tests/support/TestSupport.h"

namespace {

using tqtest::FakeTqd;
using tqtest::StoreForPort;
using tqtest::TempStore;

// A marked settings request for `name`, its pid slots holding `settings`.
std::string SettingsFrame(const std::string& name, const std::string& settings) {
    TqRcgMsg msg = MakeRcgMsg(RcgMsgSetProperties, name);
    msg.cpuShare = kRcgSettingsMark;
    std::memcpy(msg.pids, settings.data(), settings.size());
    const TqRcgFrame frame = EncodeRcgFrame(msg);
    return std::string(frame.begin(), frame.end());
}

TEST(RcgSettingsClient, EachFunctionSendsItsSettingsInOneMarkedFrame) {
    struct Case {
        const char* what;
        std::function<CQiError()> call;
        std::string settings;  // the pid slots' bytes
    };
    using std::string;
    const std::vector<Case> cases = {
        {"several", [] { return setRcgProperties("web", {"memory.max=64M", "cpu.weight=300"}); },
         string("M64M\0W300\0", 10)},
        {"aliases and long forms", [] { return setRcgProperties("web", {"mem=67108864", "pids=max"}); },
         string("M64M\0Pmax\0", 10)},
        {"weight", [] { return setRcgCPUWeight("web", 300); }, string("W300\0", 5)},
        {"burst", [] { return setRcgCPUBurst("web", 20); }, string("B20\0", 4)},
        {"processors", [] { return setRcgCPUs("web", "3,1-2"); }, string("C1-3\0", 5)},
        {"memory share", [] { return setRcgMemoryMax("web", "10%"); }, string("M10%\0", 5)},
        {"soft limit", [] { return setRcgMemoryHigh("web", "1g"); }, string("H1G\0", 4)},
        {"no swap", [] { return setRcgSwapMax("web", "0"); }, string("S0\0", 3)},
        {"process count", [] { return setRcgPidsMax("cpu:/web", "20"); }, string("P20\0", 4)},
    };
    for (const Case& c : cases) {
        FakeTqd tqd;
        TempStore store(StoreForPort(tqd.port()));
        const CQiError result = c.call();
        EXPECT_FALSE(result.IsError()) << c.what << ": " << result.AsString();
        const auto frames = tqd.frames();
        ASSERT_EQ(1u, frames.size()) << c.what;
        const std::string name = c.what == std::string("process count") ? "cpu:/web" : "web";
        EXPECT_TRUE(frames[0] == SettingsFrame(name, c.settings)) << c.what;
    }
}

TEST(RcgSettingsClient, InputThatCannotBeSentIsRefusedAndNothingIsSent) {
    struct Case {
        std::list<std::string> settings;
        std::uint32_t code;
    };
    const std::vector<Case> cases = {
        {{}, 87},
        {{"memory.max=0"}, 87},
        {{"cpu.weight=0"}, 87},
        {{"nope=1"}, 87},
        {{"mem=1G", "memory.max=2G"}, 87},
        {{"cpuset.cpus=0,2,4,6,8,10,12,14,16,18,20,22,24,26,28,30", "memory.max=1234567890123",
          "pids.max=4194304", "cpu.weight=10000"},
         87},
    };
    for (const Case& c : cases) {
        FakeTqd tqd;
        TempStore store(StoreForPort(tqd.port()));
        const CQiError result = setRcgProperties("web", c.settings);
        EXPECT_EQ(c.code, result.Win32Code()) << result.AsString();
        EXPECT_TRUE(tqd.frames().empty());
    }
    FakeTqd tqd;
    TempStore store(StoreForPort(tqd.port()));
    EXPECT_EQ(123u, setRcgCPUWeight(std::string(256, 'x'), 300).Win32Code());
    EXPECT_TRUE(tqd.frames().empty());
}

TEST(RcgSettingsClient, ATqdThatDoesNotKnowSettingsIsNamedTooOld) {
    FakeTqd tqd({FakeTqd::Text("[Win32 error 1630] The value of RcgMsgType is not supported."),
                 FakeTqd::Text("[Win32 error 1168] The resource group web doesn't exist.")});
    TempStore store(StoreForPort(tqd.port()));
    CQiError result = setRcgProperties("web", {"memory.max=64M", "cpu.weight=300"});
    EXPECT_EQ(1630u, result.Win32Code());
    EXPECT_NE(std::string::npos, result.AsString().find("This tqd is too old for memory.max, cpu.weight"))
        << result.AsString();
    result = setRcgMemoryMax("web", "64M");
    EXPECT_EQ(774u, result.Win32Code()) << "other refusals pass as they come";
    EXPECT_NE(std::string::npos, result.AsString().find("doesn't exist"));
}

}  // namespace
