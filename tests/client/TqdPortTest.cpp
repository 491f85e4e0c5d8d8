// The port of tqd as the store gives it: what the clients connect to and
// what tqd accepts to listen on.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "host/TQPlatformInfo.h"
#include "host/TqdPort.h"
#include "tests/support/TestSupport.h"

namespace {

std::uint64_t ClientPortFor(const std::string& storeText) {
    tqtest::TempStore store(storeText);
    TQPlatformInfo info;
    return TqdClientPort(info);
}

TEST(TqdPortForClients, AbsentOrNonNumericValuesGive8400) {
    EXPECT_EQ(ClientPortFor(""), 8400u);
    EXPECT_EQ(ClientPortFor("[Session]\nnTQDPORT=\n"), 8400u);
    EXPECT_EQ(ClientPortFor("[Session]\nnTQDPORT=84x\n"), 8400u);
    EXPECT_EQ(ClientPortFor("[Session]\nnTQDPORT=-1\n"), 8400u);
    EXPECT_EQ(ClientPortFor("[Other]\nnTQDPORT=9100\n"), 8400u);
}

TEST(TqdPortForClients, AnyStoredNumberIsUsedAsItIs) {
    EXPECT_EQ(ClientPortFor("[Session]\nnTQDPORT=9100\n"), 9100u);
    EXPECT_EQ(ClientPortFor("[Session]\nnTQDPORT= 9101\t\n"), 9101u);
    EXPECT_EQ(ClientPortFor("[Session]\nnTQDPORT=99999\n"), 99999u);
    EXPECT_EQ(ClientPortFor("[Session]\nnTQDPORT=0\n"), 0u);
}

TEST(TqdPortForTqd, TellsAnAbsentValueFromABadOne) {
    const TqdPortValue absent = ReadTqdPortText(false, "");
    EXPECT_FALSE(absent.found);
    const TqdPortValue bad = ReadTqdPortText(true, "99999");
    EXPECT_TRUE(bad.found);
    EXPECT_TRUE(bad.numeric);
    std::uint16_t port = 0;
    EXPECT_FALSE(ParseTqdListenPort(bad.text, &port));
    EXPECT_EQ(TqdStoredPortProblem(bad.text), "Session/nTQDPORT=99999 is not a port number (1-65535)");
    EXPECT_TRUE(ParseTqdListenPort(" 8500 ", &port));
    EXPECT_EQ(port, 8500);
}

}  // namespace
