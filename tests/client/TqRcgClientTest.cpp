// The client operations and their transport, against a fake daemon on a
// loopback port.
#include <dirent.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <functional>
#include <cstring>
#include <list>
#include <set>
#include <string>
#include <vector>

#include "host/TqFwClient.h"
#include "include/tqrcgmgr/tqrcgmgr.h"
#include "tests/support/FakeTqd.h"
#include "tests/support/TestSupport.h"

namespace {

using tqtest::FakeTqd;
using tqtest::RefusedPort;
using tqtest::StoreForPort;
using tqtest::TempStore;

// The error was built by the transport itself, at a real line.
::testing::AssertionResult BuiltByTransport(const CQiError& error) {
    if (error.File() == "TqRcgHandler.cpp" && error.Function() == "CQiError sendDataToTqd(TqRcgMsg)" &&
        error.Line() > 0) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "built at [" << error.File() << "] [" << error.Function() << "] line "
                                         << error.Line();
}

// The frame written out by hand: header words in network order, then the
// record's fields in host order.
std::string ExpectedFrame(std::int32_t type, const std::string& name, std::uint32_t share,
                          const std::vector<std::uint32_t>& pids) {
    std::string frame(368, '\0');
    const unsigned char header[40] = {0x00, 0x00, 0x01, 0x70, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0xEA, 0xFF};
    std::memcpy(&frame[0], header, sizeof(header));
    std::memcpy(&frame[40], name.data(), name.size());
    std::memcpy(&frame[40 + 256], &type, 4);
    std::memcpy(&frame[40 + 260], &share, 4);
    for (std::size_t slot = 0; slot < pids.size(); ++slot) std::memcpy(&frame[40 + 264 + 4 * slot], &pids[slot], 4);
    return frame;
}

std::vector<std::uint32_t> Range(std::uint32_t first, std::uint32_t last) {
    std::vector<std::uint32_t> values;
    for (std::uint32_t value = first; value <= last; ++value) values.push_back(value);
    return values;
}

std::list<unsigned int> AsList(const std::vector<std::uint32_t>& values) {
    return std::list<unsigned int>(values.begin(), values.end());
}

// The sockets this process holds open (the event log's file, which the log
// holds from line to line, is no connection).
std::size_t OpenSockets() {
    std::size_t count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(dir)) {
            char target[64];
            const std::string link = std::string("/proc/self/fd/") + entry->d_name;
            const ssize_t length = readlink(link.c_str(), target, sizeof(target) - 1);
            if (length > 0 && std::string(target, static_cast<std::size_t>(length)).rfind("socket:", 0) == 0) ++count;
        }
        closedir(dir);
    }
    return count;
}

TEST(RcgClientFrames, EveryRequestTypeSendsTheExact368Bytes) {
    struct Case {
        const char* what;
        std::function<CQiError()> call;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"create", [] { return createRcgGroup("backup"); }, ExpectedFrame(0, "backup", 0, {})},
        {"create, empty name", [] { return createRcgGroup(""); }, ExpectedFrame(0, "", 0, {})},
        {"delete", [] { return deleteRcgGroup("db"); }, ExpectedFrame(1, "db", 0, {})},
        {"share 50", [] { return setRcgCPUShare("web", 50); }, ExpectedFrame(2, "web", 50, {})},
        {"share -1 keeps its bit pattern", [] { return setRcgCPUShare("web", -1); },
         ExpectedFrame(2, "web", 0xFFFFFFFFu, {})},
        {"share INT_MIN", [] { return setRcgCPUShare("web", INT32_MIN); }, ExpectedFrame(2, "web", 0x80000000u, {})},
        {"assign with a zero and gaps", [] { return assignPidsTo("a", {301, 0, 302}); },
         ExpectedFrame(3, "a", 0, {301, 0, 302})},
        {"assign duplicates", [] { return assignPidsTo("a", {9, 9}); }, ExpectedFrame(3, "a", 0, {9, 9})},
        {"assign empty list", [] { return assignPidsTo("a", {}); }, ExpectedFrame(3, "a", 0, {})},
        {"assign exactly 16", [] { return assignPidsTo("a", AsList(Range(1, 16))); },
         ExpectedFrame(3, "a", 0, Range(1, 16))},
        {"remove", [] { return removePidsFrom("cpu:/a", {4294967295u}); },
         ExpectedFrame(4, "cpu:/a", 0, {4294967295u})},
        {"remove empty list", [] { return removePidsFrom("a", {}); }, ExpectedFrame(4, "a", 0, {})},
        {"255-character name arrives whole", [] { return createRcgGroup(std::string(255, 'x')); },
         ExpectedFrame(0, std::string(255, 'x'), 0, {})},
        {"embedded NUL ends the name", [] { return createRcgGroup(std::string("ab\0cd", 5)); },
         ExpectedFrame(0, "ab", 0, {})},
    };
    for (const auto& test : cases) {
        FakeTqd tqd;
        TempStore store(StoreForPort(tqd.port()));
        const CQiError result = test.call();
        EXPECT_FALSE(result.IsError()) << test.what << ": " << result.AsString();
        const auto frames = tqd.frames();
        ASSERT_EQ(frames.size(), 1u) << test.what;
        EXPECT_EQ(frames[0].size(), 368u) << test.what;
        EXPECT_TRUE(frames[0] == test.expected) << test.what;
    }
}

// A name that the 255-byte field cannot hold is the caller's error: it is
// refused with the invalid-name error and no request reaches the daemon, so
// that no other group (its first 255 bytes) is ever acted on.
TEST(RcgClientNames, NamesLongerThan255BytesAreRefusedWith123AndNothingIsSent) {
    struct Case {
        const char* what;
        std::function<CQiError(const std::string&)> call;
    };
    const std::vector<Case> calls = {
        {"create", [](const std::string& name) { return createRcgGroup(name); }},
        {"delete", [](const std::string& name) { return deleteRcgGroup(name); }},
        {"share", [](const std::string& name) { return setRcgCPUShare(name, 50); }},
        {"assign", [](const std::string& name) { return assignPidsTo(name, {301, 302}); }},
        {"assign, more than 16 ids", [](const std::string& name) { return assignPidsTo(name, AsList(Range(1, 40))); }},
        {"assign, empty list", [](const std::string& name) { return assignPidsTo(name, {}); }},
        {"remove", [](const std::string& name) { return removePidsFrom(name, {303}); }},
    };
    const std::vector<std::string> names = {std::string(256, 'n'), std::string(300, 'n'), std::string(100000, 'n'),
                                            "cpu:/" + std::string(251, 'q'), std::string(255, 'n') + '\0',
                                            std::string("ab\0", 3) + std::string(300, 'c')};
    for (const auto& call : calls) {
        for (const auto& name : names) {
            FakeTqd tqd;
            TempStore store(StoreForPort(tqd.port()));
            const CQiError result = call.call(name);
            EXPECT_TRUE(result.IsError()) << call.what << ", " << name.size() << " bytes";
            EXPECT_EQ(result.Win32Code(), 123u) << call.what << ", " << name.size() << " bytes";
            EXPECT_EQ(result.Message().rfind("Invalid resource group name \"", 0), 0u) << result.Message();
            EXPECT_TRUE(tqd.frames().empty()) << call.what << ", " << name.size() << " bytes";
        }
    }
}

TEST(RcgClientNames, ARefusedNameIsLoggedAndItsMessageShowsOnlyItsStart) {
    FakeTqd tqd;
    TempStore store(StoreForPort(tqd.port()));
    const CQiError result = createRcgGroup(std::string(255, 'a') + "b");
    EXPECT_EQ(result.Message(), "Invalid resource group name \"" + std::string(255, 'a') +
                                    "...\": a name may hold at most 255 characters");
    EXPECT_NE(store.log().find("Invalid resource group name"), std::string::npos) << store.log();
    EXPECT_TRUE(tqd.frames().empty());
}

TEST(RcgClientNames, Exactly255BytesStillGoWholeForEveryRequestType) {
    const std::string name(255, 'x');
    FakeTqd tqd;
    TempStore store(StoreForPort(tqd.port()));
    EXPECT_FALSE(createRcgGroup(name).IsError());
    EXPECT_FALSE(deleteRcgGroup(name).IsError());
    EXPECT_FALSE(setRcgCPUShare(name, 20).IsError());
    EXPECT_FALSE(assignPidsTo(name, {7}).IsError());
    EXPECT_FALSE(removePidsFrom(name, {8}).IsError());
    const auto frames = tqd.frames();
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_TRUE(frames[0] == ExpectedFrame(0, name, 0, {}));
    EXPECT_TRUE(frames[1] == ExpectedFrame(1, name, 0, {}));
    EXPECT_TRUE(frames[2] == ExpectedFrame(2, name, 20, {}));
    EXPECT_TRUE(frames[3] == ExpectedFrame(3, name, 0, {7}));
    EXPECT_TRUE(frames[4] == ExpectedFrame(4, name, 0, {8}));
}

TEST(RcgClientFrames, LongPidListsGoInRequestsOfSixteenInListOrder) {
    FakeTqd tqd;
    TempStore store(StoreForPort(tqd.port()));
    ASSERT_FALSE(assignPidsTo("g", AsList(Range(1, 40))).IsError());
    ASSERT_FALSE(removePidsFrom("g", AsList(Range(101, 117))).IsError());
    const auto frames = tqd.frames();
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_TRUE(frames[0] == ExpectedFrame(3, "g", 0, Range(1, 16)));
    EXPECT_TRUE(frames[1] == ExpectedFrame(3, "g", 0, Range(17, 32)));
    EXPECT_TRUE(frames[2] == ExpectedFrame(3, "g", 0, Range(33, 40)));
    EXPECT_TRUE(frames[3] == ExpectedFrame(4, "g", 0, Range(101, 116)));
    EXPECT_TRUE(frames[4] == ExpectedFrame(4, "g", 0, {117}));
}

TEST(RcgClientFrames, LongPidListStopsAtTheFirstFailedRequest) {
    FakeTqd tqd({FakeTqd::Text("Success"), FakeTqd::Text("second failed")});
    TempStore store(StoreForPort(tqd.port()));
    const CQiError result = assignPidsTo("g", AsList(Range(1, 40)));
    EXPECT_TRUE(result.IsError());
    EXPECT_EQ(result.Message(), "second failed");
    EXPECT_TRUE(BuiltByTransport(result));
    EXPECT_EQ(tqd.frames().size(), 2u);
}

TEST(RcgClientReplies, OnlyTheExactTextSuccessIsASuccess) {
    struct Case {
        FakeTqd::Answer answer;
        bool error;
        std::string message;
    };
    const std::string noNul(1024, 'z');
    const std::vector<Case> cases = {
        {FakeTqd::Text("Success"), false, ""},
        {FakeTqd::Text("[Win32 error 1168] The resource group g doesn't exist."), true,
         "[Win32 error 1168] The resource group g doesn't exist."},
        {FakeTqd::Text("success"), true, "success"},
        {FakeTqd::Text("SUCCESS"), true, "SUCCESS"},
        {FakeTqd::Text("Success\n"), true, "Success\n"},
        {FakeTqd::Text("Success "), true, "Success "},
        {FakeTqd::Text(" Success"), true, " Success"},
        {FakeTqd::Text("Successful"), true, "Successful"},
        {FakeTqd::Text("100%s %d %n %%"), true, "100%s %d %n %%"},
        {FakeTqd::CloseAtOnce(), true, ""},
        // Fewer bytes than a whole reply, then the end of the connection.
        {FakeTqd::Raw(std::string("Success\0", 8)), false, ""},
        {FakeTqd::Raw("Succ"), true, "Succ"},
        // A reply without a NUL is read no further than its 1024 bytes.
        {FakeTqd::Raw(noNul + "tail"), true, noNul},
    };
    std::set<std::int32_t> lines;
    for (const auto& test : cases) {
        FakeTqd tqd({test.answer});
        TempStore store(StoreForPort(tqd.port()));
        const CQiError result = createRcgGroup("g");
        EXPECT_EQ(result.IsError(), test.error) << test.message;
        if (test.error) {
            EXPECT_EQ(result.Win32Code(), 774u) << test.message;
            EXPECT_EQ(result.Message(), test.message);
            EXPECT_TRUE(BuiltByTransport(result)) << test.message;
            lines.insert(result.Line());
        }
    }
    EXPECT_EQ(lines.size(), 1u) << "every refused reply comes from the one statement";
}

TEST(RcgClientReplies, ResponseAndClientNameAreLoggedAtLevelFour) {
    FakeTqd tqd({FakeTqd::Text("no %s here")});
    TempStore store("dTQDEBUGLEVEL=4\n" + StoreForPort(tqd.port(), "sCLIENTNAME=client7\n"));
    EXPECT_TRUE(createRcgGroup("g").IsError());
    const std::string log = store.log();
    EXPECT_NE(log.find("TqRcgHandler::sendDataToTqd client name set to client7"), std::string::npos) << log;
    EXPECT_NE(log.find("TqRcgHandler::sendDataToTqd Get tqrcgmgr response no %s here"), std::string::npos) << log;
}

TEST(RcgClientReplies, SilentDaemonEndsInTheFifteenSecondReceiveTimeOut) {
    FakeTqd tqd({FakeTqd::Silent()});
    TempStore store(StoreForPort(tqd.port()));
    const auto start = std::chrono::steady_clock::now();
    const CQiError result = createRcgGroup("g");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(result.IsError());
    EXPECT_EQ(result.Win32Code(), 774u);
    EXPECT_EQ(result.Message(), "");
    EXPECT_GE(seconds, 14.5);  // not before its time; load may only make it later
}

TEST(RcgClientConnection, NoDaemonGivesTheConnectErrorAndItsLogLine) {
    RefusedPort nobody;
    ASSERT_TRUE(nobody.ok());
    TempStore store(StoreForPort(nobody.port()));
    const CQiError result = deleteRcgGroup("g");
    EXPECT_TRUE(result.IsError());
    EXPECT_EQ(result.Win32Code(), 774u);
    EXPECT_EQ(result.Message(), "Error happens in fwClient.connect()");
    EXPECT_TRUE(BuiltByTransport(result));
    EXPECT_NE(store.log().find("ERROR TqRcgHandler::sendDataToTqd Error in connecting to TQD. Mangled name - "
                               "127.0.0.1, tqdPort - " +
                               std::to_string(nobody.port())),
              std::string::npos)
        << store.log();

    // Not the line of a refused reply.
    FakeTqd tqd({FakeTqd::Text("refused")});
    TempStore replyStore(StoreForPort(tqd.port()));
    const CQiError refused = deleteRcgGroup("g");
    EXPECT_TRUE(BuiltByTransport(refused));
    EXPECT_NE(refused.Line(), result.Line());
}

TEST(RcgClientConnection, AbsentPortSettingMeansPort8400) {
    RefusedPort port8400(8400);
    if (!port8400.ok()) GTEST_SKIP() << "port 8400 is in use here";
    TempStore store("[Session]\nsTQDHOST=127.0.0.1\n");
    const CQiError result = deleteRcgGroup("g");
    EXPECT_EQ(result.Message(), "Error happens in fwClient.connect()");
    EXPECT_NE(store.log().find("Mangled name - 127.0.0.1, tqdPort - 8400"), std::string::npos) << store.log();
}

TEST(RcgClientConnection, EveryPathClosesItsConnection) {
    const std::size_t before = OpenSockets();
    {
        FakeTqd tqd({FakeTqd::Text("Success"), FakeTqd::Text("failed"), FakeTqd::CloseAtOnce()});
        TempStore store(StoreForPort(tqd.port()));
        createRcgGroup("g");
        createRcgGroup("g");
        createRcgGroup("g");
    }
    {
        RefusedPort nobody;
        TempStore store(StoreForPort(nobody.port()));
        createRcgGroup("g");
    }
    EXPECT_EQ(OpenSockets(), before);
}

TEST(FwClientConnect, LocalhostReachesALoopbackListenerAndFailuresGiveAnInvalidSocket) {
    FakeTqd tqd;
    RefusedPort nobody;
    TqFwClient client;

    CQiSocket viaName = client.connect("localhost", tqd.port(), tqd.port(), -1, -1, nullptr, nullptr, false);
    EXPECT_TRUE(viaName.IsValid());
    viaName.Close();

    CQiSocket viaFallback = client.connect("127.0.0.1", nobody.port(), tqd.port(), 2, -1, nullptr, nullptr, false);
    EXPECT_TRUE(viaFallback.IsValid());
    viaFallback.Close();

    EXPECT_FALSE(client.connect("127.0.0.1", nobody.port(), nobody.port(), 2, -1, nullptr, nullptr, false).IsValid());
    EXPECT_FALSE(client.connect("127.0.0.1", 0, 0, 2, -1, nullptr, nullptr, false).IsValid());
    EXPECT_FALSE(client.connect("127.0.0.1", 70000, 70000, 2, -1, nullptr, nullptr, false).IsValid());
    EXPECT_FALSE(client.connect("no-such-host.invalid", tqd.port(), tqd.port(), 2, -1, nullptr, nullptr, false)
                     .IsValid());
}

TEST(RcgEnableFlag, ReadsTheLeadingNumberAsAtoiDoes) {
    struct Case {
        const char* stored;  // null: no value
        int expected;
    };
    const std::vector<Case> cases = {
        {"1", 1},          {"0", 0},          {"-3", -3},       {" 7x", 7},
        {"abc", 0},        {nullptr, 0},      {"", 0},          {"+12", 12},
        {"  -0", 0},       {"- 5", 0},        {"007", 7},       {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN}, {"99999999999999999999", INT32_MAX}, {"-99999999999999999999", INT32_MIN},
        {"\t5", 5},
    };
    for (const auto& test : cases) {
        TempStore store(test.stored ? std::string("dTQRCGMGRENABLE=") + test.stored + "\n" : std::string());
        int enabled = 12345;
        const CQiError result = checkRcgEnable(enabled);
        EXPECT_FALSE(result.IsError());
        EXPECT_EQ(enabled, test.expected) << (test.stored ? test.stored : "(absent)");
    }
}

TEST(RcgEnableFlag, ATooLongValueReadsAsAbsent) {
    TempStore store("dTQRCGMGRENABLE=1" + std::string(200, '0') + "\n");
    int enabled = 5;
    EXPECT_FALSE(checkRcgEnable(enabled).IsError());
    EXPECT_EQ(enabled, 0);
}

}  // namespace
