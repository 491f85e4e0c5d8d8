// rcgMgrHandler over a socket pair, with a scripted runner and a temporary
// store: the dispatch of every request type with its exact command lines,
// the alias, the pid list, the reply bytes and the delivery failures.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "rcg/TqRcgCtrllr.h"
#include "service/TqRcgHandler.h"
#include "service/TqRcgProtocol.h"
#include "tests/support/FakeCgroupFs.h"
#include "tests/support/TestSupport.h"

// Every shutdown(2) of the process passes here, so that a test can tell
// whether the handler ended its sending side.
namespace {
std::atomic<int> g_shutdownCalls{0};
}
extern "C" int shutdown(int fd, int how) {
    ++g_shutdownCalls;
    return static_cast<int>(syscall(SYS_shutdown, fd, how));
}

namespace {

using tqtest::FillConnection;
using tqtest::ScriptedRunner;
using tqtest::SocketPair;
using tqtest::TempStore;

const char kStatus[] = "service cgconfig status";

std::string Lookup(const std::string& name) {
    return "lscgroup | grep :/" + name + " | cut -d\"/\" -f2 | grep -w " + name;
}

// The listing a bare-name lookup that selected nothing reads next: where
// lscgroup prints "cpu://NAME" (libcgroup 3) it finds the group.
std::string Listing(const std::string& name) { return "lscgroup | grep -w " + name; }

// Everything the peer reads until the handler ends sending.
std::string ReadToEnd(int fd) {
    std::string bytes;
    char buffer[4096];
    for (;;) {
        const ssize_t count = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (count <= 0) break;
        bytes.append(buffer, static_cast<std::size_t>(count));
    }
    return bytes;
}

std::string TextOf(const std::string& reply) { return std::string(reply.c_str()); }

// Sends `frame` through the handler and returns the whole reply.
std::string Handle(const std::vector<unsigned char>& frame) {
    SocketPair pair;
    // A buffer of exactly one frame: reading past it is caught by the
    // sanitizer build.
    std::vector<unsigned char> copy(frame);
    rcgMgrHandler(CQiSocket(pair.ours), copy.data());
    return ReadToEnd(pair.theirs);
}

std::vector<unsigned char> FrameOf(const TqRcgMsg& msg) {
    const TqRcgFrame frame = EncodeRcgFrame(msg);
    return std::vector<unsigned char>(frame.begin(), frame.end());
}

TqRcgMsg Request(RcgMsgType type, const std::string& name, std::uint32_t share = 0,
                 const std::vector<unsigned int>& slots = {}) {
    TqRcgMsg msg = MakeRcgMsg(type, name);
    msg.cpuShare = share;
    for (std::size_t index = 0; index < slots.size() && index < k_TqRcgMgrPidLimit; ++index) {
        msg.pids[index] = slots[index];
    }
    return msg;
}

std::string HandleText(const TqRcgMsg& msg) { return TextOf(Handle(FrameOf(msg))); }

// The messages of the handler's log lines, in order.
std::vector<std::string> HandlerLogLines(const TempStore& store) {
    std::vector<std::string> lines;
    const std::string log = store.log();
    const std::string marker = " ERROR rcgMgrHandler ";
    std::size_t start = 0;
    while (start < log.size()) {
        std::size_t end = log.find('\n', start);
        if (end == std::string::npos) end = log.size();
        const std::string line = log.substr(start, end - start);
        const std::size_t at = line.find(marker);
        if (at != std::string::npos) lines.push_back(line.substr(at + marker.size()));
        start = end + 1;
    }
    return lines;
}

typedef std::vector<std::string> Lines;

// ---- dispatch -------------------------------------------------------------

struct DispatchCase {
    const char* title;
    TqRcgMsg msg;
    std::function<void(ScriptedRunner&)> script;
    Lines commands;
    std::string reply;
};

TEST(RcgMgrHandlerDispatch, RunsExactlyTheCommandsOfEachRequestType) {
    const std::string notFound = "[Win32 error 1168] The resource group g doesn't exist.";
    const auto found = [](ScriptedRunner& r) { r.on("lscgroup", 0, "g\n"); };
    const auto missing = [](ScriptedRunner& r) { r.on("lscgroup", 1); };
    const std::vector<DispatchCase> cases = {
        {"create of a group that exists",
         Request(RcgMsgCreateGroup, "g"),
         found,
         {kStatus, Lookup("g")},
         "Success"},
        {"create of a group that does not exist",
         Request(RcgMsgCreateGroup, "g"),
         missing,
         {kStatus, Lookup("g"), Listing("g"), kStatus, "cgcreate -g cpu:/g"},
         "Success"},
        {"create whose cgcreate fails",
         Request(RcgMsgCreateGroup, "g"),
         [](ScriptedRunner& r) { r.on("lscgroup", 1).on("cgcreate", 1, "o", "e"); },
         {kStatus, Lookup("g"), Listing("g"), kStatus, "cgcreate -g cpu:/g"},
         "[Win32 error 774] Failed to run cmd [cgcreate -g cpu:/g] out[o] err[e]\n"},
        {"delete without a lookup",
         Request(RcgMsgDeleteGroup, "g"),
         [](ScriptedRunner& r) { r.on("lscgroup | grep -w g", 0, "cpu:/g\n"); },
         {"lscgroup | grep -w g", "cgdelete -g cpu:/g\n"},
         "Success"},
        {"set-share of a group that exists",
         Request(RcgMsgSetCPUShare, "g", 50),
         [](ScriptedRunner& r) { r.on("lscgroup", 0, "g\n").on("nproc", 0, "4\n"); },
         {kStatus, Lookup("g"), "nproc", "cgset -r cpu.cfs_period_us=100000 g",
          "cgset -r cpu.cfs_quota_us=200000 g"},
         "Success"},
        {"set-share of a missing group",
         Request(RcgMsgSetCPUShare, "g", 50),
         missing,
         {kStatus, Lookup("g"), Listing("g")},
         notFound},
        {"assign to a group that exists",
         Request(RcgMsgAssignPids, "g", 0, {17, 42}),
         found,
         {kStatus, Lookup("g"), "cgclassify -g cpu:/g  17 42"},
         "Success"},
        {"assign to a missing group",
         Request(RcgMsgAssignPids, "g", 0, {17}),
         missing,
         {kStatus, Lookup("g"), Listing("g")},
         notFound},
        {"remove while the dummy group exists",
         Request(RcgMsgRemovePids, "g", 0, {17}),
         [](ScriptedRunner& r) { r.on("lscgroup", 0, "g\n").on("lscgroup", 0, "tqrcgmgrdummy\n"); },
         {kStatus, Lookup("g"), kStatus, Lookup("tqrcgmgrdummy"), "cgclassify -g cpu:/tqrcgmgrdummy  17"},
         "Success"},
        {"remove while the dummy group is missing",
         Request(RcgMsgRemovePids, "g", 0, {17}),
         [](ScriptedRunner& r) { r.on("lscgroup", 0, "g\n").on("lscgroup", 1); },
         {kStatus, Lookup("g"), kStatus, Lookup("tqrcgmgrdummy"), Listing("tqrcgmgrdummy"), kStatus,
          "cgcreate -g cpu:/tqrcgmgrdummy",
          "cgclassify -g cpu:/tqrcgmgrdummy  17"},
         "Success"},
        {"remove from a missing group",
         Request(RcgMsgRemovePids, "g", 0, {17}),
         missing,
         {kStatus, Lookup("g"), Listing("g")},
         notFound},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        TempStore store;
        ScriptedRunner runner;
        c.script(runner);
        EXPECT_EQ(HandleText(c.msg), c.reply);
        EXPECT_EQ(runner.commands(), c.commands);
        // The normal path and the failures of the operations write nothing
        // under the handler's own tag.
        EXPECT_EQ(HandlerLogLines(store), Lines());
    }
}

TEST(RcgMgrHandlerDispatch, CreateRecordsTheNewGroupInTheStore) {
    TempStore store;
    ScriptedRunner runner;
    runner.on("lscgroup", 1);
    EXPECT_EQ(HandleText(Request(RcgMsgCreateGroup, "web")), "Success");
    EXPECT_NE(store.text().find("sTQRCGMGRGROUPS= web\n"), std::string::npos) << store.text();
}

TEST(RcgMgrHandlerDispatch, RejectsUnknownRequestTypesWithoutRunningAnything) {
    for (std::int32_t type : {5, -1, 1000}) {
        SCOPED_TRACE(type);
        TempStore store;
        ScriptedRunner runner;
        TqRcgMsg msg = Request(RcgMsgCreateGroup, "g");
        msg.msgType = type;
        EXPECT_EQ(HandleText(msg), "[Win32 error 1630] The value of RcgMsgType is not supported.");
        EXPECT_EQ(runner.commands(), Lines());
        EXPECT_EQ(HandlerLogLines(store),
                  Lines{"RcgMsgType " + std::to_string(type) + " is not correct.\\n"});
    }
}

// ---- pid list -----------------------------------------------------------

TEST(RcgMgrHandlerPids, TakesNonZeroSlotsInSlotOrder) {
    struct PidCase {
        std::vector<unsigned int> slots;
        std::string command;
    };
    std::vector<unsigned int> sixteen;
    std::string sixteenText = "cgclassify -g cpu:/g ";
    for (unsigned int pid = 1001; pid <= 1016; ++pid) {
        sixteen.push_back(pid);
        sixteenText += " " + std::to_string(pid);
    }
    const std::vector<PidCase> cases = {
        {{0, 17, 0, 42}, "cgclassify -g cpu:/g  17 42"},
        {{42, 17, 42}, "cgclassify -g cpu:/g  42 17 42"},
        {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 99}, "cgclassify -g cpu:/g  99"},
        {sixteen, sixteenText},
        {{}, "cgclassify -g cpu:/g "},
        {{4294967295u}, "cgclassify -g cpu:/g  4294967295"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        TempStore store;
        ScriptedRunner runner;
        runner.on("lscgroup", 0, "g\n");
        EXPECT_EQ(HandleText(Request(RcgMsgAssignPids, "g", 0, c.slots)), "Success");
        EXPECT_EQ(runner.commands(), (Lines{kStatus, Lookup("g"), c.command}));
    }
}

TEST(RcgMgrHandlerPids, IgnoresPidsAndShareOfTypesThatDoNotUseThem) {
    TempStore store;
    ScriptedRunner runner;
    runner.on("lscgroup", 0, "g\n");
    EXPECT_EQ(HandleText(Request(RcgMsgCreateGroup, "g", 77, {5, 6})), "Success");
    EXPECT_EQ(runner.commands(), (Lines{kStatus, Lookup("g")}));
}

// ---- alias --------------------------------------------------------------

TEST(RcgMgrHandlerAlias, ReplacesTheAliasByTheConfiguredGroupOnly) {
    struct AliasCase {
        const char* title;
        std::string storeText;
        RcgMsgType type;
        std::string name;
        Lines commands;
    };
    const std::string longest(127, 'k');
    const std::vector<AliasCase> cases = {
        {"alias with a value",
         "sTQRCGMGRKORVANEGROUP=korv\n",
         RcgMsgCreateGroup,
         "useKorvaneGroup",
         {kStatus, Lookup("korv")}},
        {"alias without a value",
         "",
         RcgMsgCreateGroup,
         "useKorvaneGroup",
         {kStatus, Lookup("useKorvaneGroup")}},
        {"alias value in another section",
         "[Session]\nsTQRCGMGRKORVANEGROUP=korv\n",
         RcgMsgCreateGroup,
         "useKorvaneGroup",
         {kStatus, Lookup("useKorvaneGroup")}},
        {"other letter case",
         "sTQRCGMGRKORVANEGROUP=korv\n",
         RcgMsgCreateGroup,
         "UseKorvaneGroup",
         {kStatus, Lookup("UseKorvaneGroup")}},
        {"longer name",
         "sTQRCGMGRKORVANEGROUP=korv\n",
         RcgMsgCreateGroup,
         "useKorvaneGroup2",
         {kStatus, Lookup("useKorvaneGroup2")}},
        {"delete through the alias",
         "sTQRCGMGRKORVANEGROUP=korv\n",
         RcgMsgDeleteGroup,
         "useKorvaneGroup",
         {"lscgroup | grep -w korv", "cgdelete -g cpu:/korv\n"}},
        {"value of 127 characters",
         "sTQRCGMGRKORVANEGROUP=" + longest + "\n",
         RcgMsgCreateGroup,
         "useKorvaneGroup",
         {kStatus, Lookup(longest)}},
        {"value too long for the 128-byte buffer",
         "sTQRCGMGRKORVANEGROUP=" + longest + "k\n",
         RcgMsgCreateGroup,
         "useKorvaneGroup",
         {kStatus, Lookup("useKorvaneGroup")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        TempStore store(c.storeText);
        ScriptedRunner runner;
        // The lookup lists the looked-up group itself, so it is found.
        const std::string& last = c.commands.back();
        const std::string listed = last.substr(last.rfind(' ') + 1);
        runner.always("lscgroup | grep -w", 0, "cpu:/korv\n").always("lscgroup", 0, listed + "\n");
        EXPECT_EQ(HandleText(Request(c.type, c.name)), "Success");
        EXPECT_EQ(runner.commands(), c.commands);
    }
}

TEST(RcgMgrHandlerAlias, TrailingBlankIsNoAliasAndReachesTheNameCheck) {
    TempStore store("sTQRCGMGRKORVANEGROUP=korv\n");
    ScriptedRunner runner;
    const std::string reply = HandleText(Request(RcgMsgCreateGroup, "useKorvaneGroup "));
    EXPECT_EQ(reply.rfind("[Win32 error 123] Invalid resource group name \"useKorvaneGroup \"", 0), 0u)
        << reply;
    EXPECT_EQ(reply.find("korv\""), std::string::npos);
    EXPECT_EQ(runner.commands(), Lines());
}

// ---- reply --------------------------------------------------------------

TEST(RcgMgrHandlerReply, IsAlways1024BytesOfTextNulAndZeros) {
    TempStore store;
    ScriptedRunner runner;
    runner.on("lscgroup", 0, "g\n").on("lscgroup", 1);
    for (RcgMsgType type : {RcgMsgCreateGroup, RcgMsgSetCPUShare}) {
        const std::string reply = Handle(FrameOf(Request(type, "g", 10)));
        ASSERT_EQ(reply.size(), 1024u);
        const std::string text = TextOf(reply);
        EXPECT_EQ(reply, text + std::string(1024 - text.size(), '\0'));
    }
    EXPECT_EQ(TextOf(Handle(FrameOf(Request(RcgMsgCreateGroup, "g")))), "Success");
}

TEST(RcgMgrHandlerReply, EndsTheSendingSideAfterTheReply) {
    TempStore store;
    ScriptedRunner runner;
    SocketPair pair;
    std::vector<unsigned char> frame = FrameOf(Request(RcgMsgDeleteGroup, "g"));
    const int before = g_shutdownCalls.load();
    rcgMgrHandler(CQiSocket(pair.ours), frame.data());
    EXPECT_EQ(g_shutdownCalls.load() - before, 1);
    EXPECT_EQ(ReadToEnd(pair.theirs).size(), 1024u);
    // End of stream: the peer sees 0, not "would block".
    char byte;
    EXPECT_EQ(recv(pair.theirs, &byte, 1, MSG_DONTWAIT), 0);
    // The handler leaves the connection open: the daemon closes it.
    EXPECT_EQ(fcntl(pair.ours, F_GETFD), FD_CLOEXEC);
}

TEST(RcgMgrHandlerReply, SendFailureIsLoggedAndNotFollowedByShutdown) {
    TempStore store;
    ScriptedRunner runner;
    SocketPair pair;
    pair.closeTheirs();
    std::vector<unsigned char> frame = FrameOf(Request(RcgMsgDeleteGroup, "g"));
    const int before = g_shutdownCalls.load();
    rcgMgrHandler(CQiSocket(pair.ours), frame.data());
    EXPECT_EQ(g_shutdownCalls.load() - before, 0);
    EXPECT_EQ(HandlerLogLines(store), Lines{"Couldn't send tqrcgmgr response"});
    // The operation stands although its answer was lost.
    EXPECT_EQ(runner.commands(), Lines{"lscgroup | grep -w g"});
}

TEST(RcgMgrHandlerReply, SendTimeOutIsLoggedAfterFifteenSeconds) {
    TempStore store;
    ScriptedRunner runner;
    SocketPair pair;
    // Fill the connection while the peer reads nothing.
    FillConnection(pair.ours);
    std::vector<unsigned char> frame = FrameOf(Request(RcgMsgDeleteGroup, "g"));
    const int before = g_shutdownCalls.load();
    const auto start = std::chrono::steady_clock::now();
    rcgMgrHandler(CQiSocket(pair.ours), frame.data());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, 14.9);  // not before its time; load may only make it later
    // The send itself succeeded (partly), so the sending side was ended.
    EXPECT_EQ(g_shutdownCalls.load() - before, 1);
    EXPECT_EQ(HandlerLogLines(store),
              Lines{"Timedout happened! Couldn't send tqrcgmgr response in 15 seconds."});
}

// ---- frames that break the daemon's contract ------------------------------

TEST(RcgMgrHandlerContract, NameFieldWithoutNulIsReadWithinTheFieldAndRefused) {
    TempStore store;
    ScriptedRunner runner;
    std::vector<unsigned char> frame = FrameOf(Request(RcgMsgSetCPUShare, "", 50));
    std::memset(frame.data() + kTqRcgFrameHeaderSize, 'a', k_TqRcgNameMaxSize + 1);
    const std::string reply = TextOf(Handle(frame));
    EXPECT_EQ(
        reply.rfind("[Win32 error 123] Invalid resource group name \"" + std::string(255, 'a') + "...\"", 0),
        0u)
        << reply;
    EXPECT_EQ(runner.commands(), Lines());
}

TEST(RcgMgrFrameNames, OnlyNamesThatTheFieldHoldsWholeFit) {
    EXPECT_TRUE(RcgNameFitsFrame(""));
    EXPECT_TRUE(RcgNameFitsFrame("web"));
    EXPECT_TRUE(RcgNameFitsFrame(std::string(255, 'x')));
    EXPECT_FALSE(RcgNameFitsFrame(std::string(256, 'x')));
    EXPECT_FALSE(RcgNameFitsFrame(std::string(255, 'x') + '\0'));
    EXPECT_FALSE(RcgNameFitsFrame(std::string(1u << 20, 'x')));
}

TEST(RcgMgrFrameReplies, TextEndsAtTheFirstNulAndNeverPastTheReply) {
    const char withNul[] = "Success\0junk";
    EXPECT_EQ(ReadRcgReply(withNul, sizeof(withNul)), "Success");
    EXPECT_EQ(ReadRcgReply(withNul, 4), "Succ");
    EXPECT_EQ(ReadRcgReply(withNul, 0), "");
    const std::string full(1024, 'z');
    EXPECT_EQ(ReadRcgReply(full.data(), full.size()), full);
}

TEST(RcgMgrFrameHeader, LengthAndCodeAreReadFromTheFirst16BytesOnly) {
    const TqRcgFrame frame = EncodeRcgFrame(MakeRcgMsg(RcgMsgCreateGroup, "web"));
    // Exactly the leading bytes: reading past them would be caught by the
    // sanitizer builds.
    std::unique_ptr<unsigned char[]> leading(new unsigned char[kTqRcgFrameInfoSize]);
    std::memcpy(leading.get(), frame.data(), kTqRcgFrameInfoSize);
    const TqRcgFrameInfo info = ReadRcgFrameHeader(leading.get());
    EXPECT_EQ(info.frameLength, 368u);
    EXPECT_EQ(info.requestCode, 0xEAFFu);
}

TEST(RcgMgrFrameReplies, ReplyIsTheTextThenZerosWithANulAlwaysLast) {
    const TqRcgReply reply = MakeRcgReply("Success");
    EXPECT_EQ(ReadRcgReply(reply.data(), reply.size()), "Success");
    EXPECT_EQ(std::count(reply.begin(), reply.end(), '\0'), 1024 - 7);
    const TqRcgReply cut = MakeRcgReply(std::string(1024, 'e'));
    EXPECT_EQ(ReadRcgReply(cut.data(), cut.size()), std::string(1023, 'e'));
    EXPECT_EQ(cut.back(), '\0');
}

TEST(RcgMgrHandlerContract, NullFrameIsAnsweredAndLogged) {
    TempStore store;
    ScriptedRunner runner;
    SocketPair pair;
    rcgMgrHandler(CQiSocket(pair.ours), nullptr);
    const std::string reply = ReadToEnd(pair.theirs);
    ASSERT_EQ(reply.size(), 1024u);
    EXPECT_EQ(TextOf(reply), "[Win32 error 87] The request frame is missing.");
    EXPECT_EQ(HandlerLogLines(store), Lines{"Request frame is null"});
    EXPECT_EQ(runner.commands(), Lines());
}

TEST(RcgMgrHandlerContract, ErrorTextOf1024CharactersOrMoreIsCutTo1023) {
    TempStore store;
    ScriptedRunner runner;
    // A name of control characters: each is shown as \xHH in the error.
    std::vector<unsigned char> frame = FrameOf(Request(RcgMsgSetCPUShare, "", 50));
    std::memset(frame.data() + kTqRcgFrameHeaderSize, 0x01, k_TqRcgNameMaxSize);
    const std::string name(k_TqRcgNameMaxSize, '\x01');
    TqRcgPtr group;
    const std::string full = TqRcgCtrllr::GetSysRcg(name.c_str(), group).AsString();
    ASSERT_GT(full.size(), 1024u);

    const std::string reply = Handle(frame);
    ASSERT_EQ(reply.size(), 1024u);
    EXPECT_EQ(reply[1023], '\0');
    EXPECT_EQ(TextOf(reply), full.substr(0, 1023));
}

// ---- settings -----------------------------------------------------------------

// A settings request whose pid slots hold `bytes`, marked unless `mark` is
// another value.
TqRcgMsg SettingsRequest(const std::string& name, const std::string& bytes,
                         std::uint32_t mark = kRcgSettingsMark) {
    TqRcgMsg msg = MakeRcgMsg(RcgMsgSetProperties, name);
    msg.cpuShare = mark;
    std::memcpy(msg.pids, bytes.data(), std::min(bytes.size(), sizeof(msg.pids)));
    return msg;
}

TEST(RcgMgrHandlerSettings, UnmarkedOrUnreadableSettingsRunNothing) {
    struct Case {
        TqRcgMsg msg;
        std::string reply;
    };
    const std::string invalid = "[Win32 error 87] Invalid settings: ";
    const std::vector<Case> cases = {
        {SettingsRequest("web", std::string("M64M\0", 5), 0), "[Win32 error 1630] The value of RcgMsgType is not supported."},
        {SettingsRequest("web", std::string("M64M\0", 5), 50), "[Win32 error 1630] The value of RcgMsgType is not supported."},
        {SettingsRequest("web", ""), invalid + "the settings of the request cannot be read"},
        {SettingsRequest("web", std::string(64, 'M')), invalid + "the settings of the request cannot be read"},
        {SettingsRequest("web", std::string("M\0", 2)), invalid + "the settings of the request cannot be read"},
        {SettingsRequest("web", std::string("Z1\0", 3)), invalid + "the request names a property this tqd does not know (code 90)"},
        {SettingsRequest("web", std::string("M64M\0M1G\0", 10)), invalid + "memory.max is given twice"},
    };
    for (const Case& c : cases) {
        TempStore store;
        ScriptedRunner runner;
        tqtest::FakeCgroupFs fs;
        EXPECT_EQ(c.reply, HandleText(c.msg).substr(0, c.reply.size()));
        EXPECT_EQ(runner.commands(), Lines());
        EXPECT_TRUE(fs.writes.empty());
    }
}

TEST(RcgMgrHandlerSettings, AppliedSettingsAreRememberedAndForgottenWithTheGroup) {
    TempStore store;
    ScriptedRunner runner;
    tqtest::FakeCgroupFs fs;
    ASSERT_EQ("Success", HandleText(Request(RcgMsgCreateGroup, "web")));
    EXPECT_EQ("Success", HandleText(SettingsRequest("web", std::string("M64M\0W300\0", 10))));
    EXPECT_EQ("67108864\n", fs.fileText("/sys/fs/cgroup/tqrcg/web/memory.max"));
    EXPECT_NE(std::string::npos, store.text().find("sTQRCGMGRSETTINGS= web|memory.max=64M web|cpu.weight=300\n"))
        << store.text();

    const std::string failed = HandleText(SettingsRequest("web", std::string("B50\0", 4)));
    EXPECT_NE(std::string::npos, failed.find("cpu.max.burst")) << "no cap to burst above: " << failed;
    EXPECT_EQ(std::string::npos, store.text().find("burst")) << "a refused setting is not remembered";
    EXPECT_NE(std::string::npos, HandleText(SettingsRequest("gone", std::string("W5\0", 3))).find("1168"));

    EXPECT_EQ("Success", HandleText(Request(RcgMsgDeleteGroup, "web")));
    EXPECT_EQ(std::string::npos, store.text().find("web|")) << store.text();
}

TEST(RcgMgrRequestTypes, OneTableNamesEveryTypeOnce) {
    std::vector<std::string> names;
    for (const RcgRequestType& type : RcgRequestTypes()) {
        EXPECT_EQ(&type, FindRcgRequestType(type.type));
        names.push_back(type.name);
    }
    EXPECT_EQ((std::vector<std::string>{"create", "delete", "cap", "assign", "remove", "set"}), names);
    for (std::int32_t other : {5, -1, 15, 17}) EXPECT_EQ(nullptr, FindRcgRequestType(other));
}

// The handler's fuzzer is given every request type and the settings' mark
// as words of its dictionary.
TEST(RcgMgrRequestTypes, TheFuzzDictionaryHoldsEveryTypeAndTheMark) {
    const char* source = getenv("TQ_SOURCE_DIR");
    ASSERT_NE(nullptr, source);
    const std::string dictionary = tqtest::ReadFile(std::string(source) + "/fuzz/handler.dict");
    auto word = [](std::uint32_t value) {
        char text[32];
        snprintf(text, sizeof text, "\"\\x%02x\\x%02x\\x%02x\\x%02x\"", value & 0xff, (value >> 8) & 0xff,
                 (value >> 16) & 0xff, value >> 24);
        return std::string(text);
    };
    for (const RcgRequestType& type : RcgRequestTypes())
        EXPECT_NE(std::string::npos, dictionary.find(word(static_cast<std::uint32_t>(type.type)))) << type.name;
    EXPECT_NE(std::string::npos, dictionary.find(word(kRcgSettingsMark)));
}

}  // namespace
