// The tqd binary with the real libtqrcgmgr.so, on requests that run no
// cgroup command: framing, deadlines, silent clients, concurrency, stopping,
// start-up failures, the command line and the daemon mode.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>

#include "host/ElfSection.h"
#include "tests/support/TqdHarness.h"

namespace {

using namespace tqdtest;
typedef std::chrono::steady_clock Clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<unsigned char> WithHeaderWord(std::vector<unsigned char> frame, std::size_t offset,
                                          std::uint32_t value) {
    const std::uint32_t word = htonl(value);
    std::memcpy(frame.data() + offset, &word, 4);
    return frame;
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) {
        ++count;
    }
    return count;
}

std::vector<unsigned char> FirstBytes(std::vector<unsigned char> frame, std::size_t count) {
    frame.resize(count);
    return frame;
}

TEST(TqdServing, AnswersAFrameWith1024BytesOnEveryLoopbackAddress) {
    TqdProcess tqd;
    const std::string reply = Ask(tqd.port(), HarmlessFrame());
    ASSERT_EQ(reply.size(), 1024u);
    EXPECT_EQ(TextOf(reply), kUnsupportedReply);
    EXPECT_EQ(reply, TextOf(reply) + std::string(1024 - TextOf(reply).size(), '\0'));
    if (HaveIpv6Loopback()) {
        Client client(tqd.port(), "::1");
        ASSERT_TRUE(client.connected());
        client.send(HarmlessFrame());
        client.endSending();
        EXPECT_EQ(TextOf(client.readToEnd(10)), kUnsupportedReply);
    }
    EXPECT_NE(tqd.log().find("ERROR rcgMgrHandler RcgMsgType 5 is not correct."), std::string::npos);
}

TEST(TqdServing, ClosesBadFramesWithoutAReplyAndServesOn) {
    TqdProcess tqd;
    struct BadFrame {
        const char* title;
        std::vector<unsigned char> bytes;
        std::string logged;
    };
    const std::vector<BadFrame> cases = {
        {"wrong length", WithHeaderWord(HarmlessFrame(), 0, 369), "refused_frame=\"frame length 369 is not 368\""},
        {"wrong code", WithHeaderWord(HarmlessFrame(), 12, 0xEAFE),
         "refused_frame=\"request code 0xEAFE is not 0xEAFF\""},
        {"truncated", FirstBytes(HarmlessFrame(), 100),
         "refused_frame=\"the request ended after 100 of 368 bytes\""},
        {"nothing", {}, "refused_frame=\"the request ended after 0 of 368 bytes\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        Client client(tqd.port());
        ASSERT_TRUE(client.connected());
        client.send(c.bytes.data(), c.bytes.size());
        client.endSending();
        bool ended = false;
        EXPECT_EQ(client.readToEnd(5, &ended), "");
        EXPECT_TRUE(ended);
        EXPECT_TRUE(tqd.waitForLog(c.logged, 5)) << tqd.log();
    }
    // A client that leaves before its answer costs the daemon nothing.
    {
        Client client(tqd.port());
        client.send(HarmlessFrame());
    }
    EXPECT_EQ(TextOf(Ask(tqd.port(), HarmlessFrame())), kUnsupportedReply);
    EXPECT_EQ(kill(tqd.pid(), 0), 0);
}

TEST(TqdServing, CutsATricklingClientFifteenSecondsAfterItsAcceptWhileServingOthers) {
    TqdProcess tqd;
    Client slow(tqd.port());
    ASSERT_TRUE(slow.connected());
    const auto accepted = Clock::now();
    // One byte a second: a limit per read would never end it.
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        while (!stop) {
            if (!slow.send("x", 1)) break;
            for (int tick = 0; tick < 10 && !stop; ++tick)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    // Others are served while the trickle goes on: the slow one is not cut yet.
    EXPECT_EQ(TextOf(Ask(tqd.port(), HarmlessFrame())), kUnsupportedReply);
    EXPECT_EQ(tqd.log().find("no complete request within 15 seconds"), std::string::npos) << tqd.log();

    bool ended = false;
    EXPECT_EQ(slow.readToEnd(60, &ended), "");
    const double seconds = SecondsSince(accepted);
    stop = true;
    trickle.join();
    EXPECT_TRUE(ended);
    // Not before its time; a loaded machine may only make it later.
    EXPECT_GE(seconds, 14.5);
    EXPECT_TRUE(tqd.waitForLog("refused_frame=\"no complete request within 15 seconds (", 5)) << tqd.log();
}

TEST(TqdServing, AnswersPromptlyWhileSilentClientsOutnumberTheWorkers) {
    TqdProcess tqd("", {"--workers", "2"});
    const std::string log = tqd.log();
    EXPECT_NE(log.find("INFO tqd tqd listening on 127.0.0.1:" + std::to_string(tqd.port())),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(" with 2 workers; "), std::string::npos) << log;
    std::vector<std::unique_ptr<Client>> silent;
    for (int index = 0; index < 5; ++index) {
        silent.emplace_back(new Client(tqd.port()));
        ASSERT_TRUE(silent.back()->connected()) << index;
    }
    const auto start = Clock::now();
    while (SecondsSince(start) < 60 && Count(tqd.log(), "accepted a connection from 127.0.0.1:") < 5) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(Count(tqd.log(), "accepted a connection from 127.0.0.1:"), 5u) << tqd.log();

    // Answered while every silent one is still held: none was closed to make room.
    EXPECT_EQ(TextOf(Ask(tqd.port(), HarmlessFrame())), kUnsupportedReply);
    EXPECT_EQ(Count(tqd.log(), "INFO tqd closing the connection from 127.0.0.1:"), 0u) << tqd.log();

    // On stop the silent ones are let go at once and hold up nothing: they
    // are closed by the stop, not by their 15 seconds running out.
    EXPECT_EQ(tqd.stop(), 0);
    EXPECT_EQ(tqd.log().find("no complete request within 15 seconds"), std::string::npos) << tqd.log();
    for (auto& client : silent) {
        bool ended = false;
        EXPECT_EQ(client->readToEnd(1, &ended), "");
        EXPECT_TRUE(ended);
    }
    EXPECT_EQ(Count(tqd.log(), "INFO tqd closing the connection from 127.0.0.1:"), 5u) << tqd.log();
}

TEST(TqdServing, RaisesItsDescriptorLimitForConnectionsStillSending) {
    // tqd inherits the usual soft limit of 1024 from this test.
    struct rlimit own;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &own));
    const struct rlimit lowered = {std::min<rlim_t>(1024, own.rlim_cur), own.rlim_max};
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &lowered));
    const unsigned long long wanted =
        own.rlim_max == RLIM_INFINITY ? 4096ull : std::min<unsigned long long>(4096, own.rlim_max);
    std::unique_ptr<TqdProcess> started;
    try {
        started.reset(new TqdProcess);
    } catch (...) {
        setrlimit(RLIMIT_NOFILE, &own);
        throw;
    }
    setrlimit(RLIMIT_NOFILE, &own);
    TqdProcess& tqd = *started;
    std::istringstream limits(tqtest::ReadFile("/proc/" + std::to_string(tqd.pid()) + "/limits"));
    std::string line;
    unsigned long long soft = 0;
    while (std::getline(limits, line)) {
        if (line.rfind("Max open files", 0) == 0) soft = std::stoull(line.substr(26));
    }
    EXPECT_GE(soft, wanted);
}

TEST(TqdServing, AnswersFiftyClientsAtOnce) {
    TqdProcess tqd;
    std::vector<std::unique_ptr<Client>> clients;
    for (int index = 0; index < 50; ++index) {
        clients.emplace_back(new Client(tqd.port()));
        ASSERT_TRUE(clients.back()->connected()) << index;
    }
    for (auto& client : clients) {
        ASSERT_TRUE(client->send(HarmlessFrame()));
        client->endSending();
    }
    int answered = 0;
    for (auto& client : clients) {
        const std::string reply = client->readToEnd(60);
        if (reply.size() == 1024 && TextOf(reply) == kUnsupportedReply) ++answered;
    }
    EXPECT_EQ(answered, 50);
}

// A figure of /proc/<pid>/status in bytes ("VmRSS": resident now, "VmHWM":
// resident at the highest); -1 when absent.
long long StatusBytes(pid_t pid, const std::string& field) {
    std::istringstream status(tqtest::ReadFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::stoll(line.substr(field.size() + 1)) * 1024;
    }
    return -1;
}

TEST(TqdMemory, AToolPrintingFiftyMegabytesLeavesTqdUnderTwentyMegabytes) {
    TqdProcess tqd("", {"--library", BuildDir() + "/libtqd_flood_handler.so"});
    EXPECT_EQ(TextOf(Ask(tqd.port(), Frame(RcgMsgCreateGroup, "flood", 10))), "0 10 y");
    const long long idle = StatusBytes(tqd.pid(), "VmRSS");

    const auto start = Clock::now();
    const std::string reply = TextOf(Ask(tqd.port(), Frame(RcgMsgCreateGroup, "flood", 50u << 20), 60));
    const double seconds = SecondsSince(start);
    const std::string note = "(51380224 more bytes)";
    EXPECT_EQ(reply, "0 " + std::to_string((1u << 20) + note.size() + 1) + " " + note);
    const long long peak = StatusBytes(tqd.pid(), "VmHWM");
    const long long after = StatusBytes(tqd.pid(), "VmRSS");
    std::cout << "tqd resident: " << idle / 1024 << " KiB idle, " << peak / 1024 << " KiB at the highest, "
              << after / 1024 << " KiB after 50 MiB of output (" << seconds << " s)\n";
#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer's own memory would swamp the figure
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, 20ll << 20);
#endif
    // And it serves on.
    EXPECT_EQ(TextOf(Ask(tqd.port(), Frame(RcgMsgCreateGroup, "flood", 3))), "0 3 y");
}

TEST(TqdStopping, FinishesTheRequestInFlightOnSigtermAndExitsZero) {
    TqdProcess tqd;
    Client client(tqd.port());
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(tqd.waitForLog("accepted a connection from 127.0.0.1:", 5));
    const std::vector<unsigned char> frame = HarmlessFrame();
    ASSERT_TRUE(client.send(frame.data(), 100));

    tqd.signal(SIGTERM);
    ASSERT_TRUE(
        tqd.waitForLog("tqd stopping on SIGTERM: no new connections; waiting up to 15 seconds for 1 "
                       "requests in flight",
                       5))
        << tqd.log();
    EXPECT_FALSE(Client(tqd.port()).connected());

    ASSERT_TRUE(client.send(frame.data() + 100, frame.size() - 100));
    client.endSending();
    const std::string reply = client.readToEnd(10);
    EXPECT_EQ(reply.size(), 1024u);
    EXPECT_EQ(TextOf(reply), kUnsupportedReply);
    EXPECT_EQ(tqd.wait(10), 0);
    EXPECT_NE(tqd.log().find("INFO tqd tqd stopped"), std::string::npos);
}

TEST(TqdStopping, StopsOnSigintToo) {
    TqdProcess tqd;
    tqd.signal(SIGINT);
    EXPECT_EQ(tqd.wait(10), 0);
    EXPECT_NE(tqd.log().find("tqd stopping on SIGINT"), std::string::npos);
}

TEST(TqdStarting, PortInUseStopsTheStartWithAClearMessage) {
    const std::uint16_t port = FreePort();
    const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    tqtest::TempStore store;
    const RunResult result = RunTqd({"--foreground", "--port", std::to_string(port)});
    close(holder);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("tqd: port " + std::to_string(port) +
                              " on 127.0.0.1 is in use: is tqd already running?"),
              std::string::npos)
        << result.err;
}

TEST(TqdStarting, LibraryThatCannotBeLoadedStopsTheStart) {
    tqtest::TempStore store;
    struct LibraryCase {
        std::string path;
        std::string message;
    };
    const std::vector<LibraryCase> cases = {
        {"/nonexistent/libtqrcgmgr.so",
         "tqd: cannot load the request handler library /nonexistent/libtqrcgmgr.so: "},
        {store.path(), "tqd: cannot load the request handler library " + store.path() + ": "},
        {BuildDir() + "/libtqfw.so", "tqd: the library " + BuildDir() + "/libtqfw.so has no rcgMgrHandler: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const RunResult result =
            RunTqd({"--foreground", "--port", std::to_string(FreePort()), "--library", c.path});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err.rfind(c.message, 0), 0u) << result.err;
        EXPECT_NE(result.err.find("name it with --library PATH or the Session/sTQDLIBRARY value"),
                  std::string::npos);
    }
}

TEST(TqdStarting, StoreTooLargeOrNotAFileStopsTheStartNamingTheFile) {
    tqtest::DefaultFolderLog log;
    tqtest::TempStore store;
    // One comment line one byte past the limit.
    store.write(std::string((16u << 20) + 1, '#'));
    RunResult result = RunTqd({"--foreground", "--port", std::to_string(FreePort())});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "tqd: the configuration store " + store.path() +
                              " holds 16777217 bytes, more than its limit of 16 MiB (16777216 bytes), and is "
                              "not read; shorten it\n");

    const std::string folder = store.dir() + "/folder.conf";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    tqtest::EnvGuard config("TQ_CONFIG", folder.c_str());
    result = RunTqd({"--foreground", "--port", std::to_string(FreePort())});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "tqd: the configuration store " + folder + " is a folder; it must be a text file (or missing)\n");
}

// The most lines a store within the limit can hold, all malformed: tqd
// starts and serves.  The time it took is printed; its speed is the bench's.
TEST(TqdStarting, StoreOfSixteenMiBStartsAndServes) {
    std::string lines;
    while (lines.size() < (16u << 20) - 4096) lines += "x\n";
    const auto start = Clock::now();
    TqdProcess tqd(lines);
    const double seconds = SecondsSince(start);
    std::cout << "tqd with a store of " << tqtest::ReadFile(tqd.store().path()).size()
              << " bytes listened after " << seconds << " s\n";
    RecordProperty("start_seconds_16MiB_store", std::to_string(seconds));
    EXPECT_EQ(TextOf(Ask(tqd.port(), HarmlessFrame())), kUnsupportedReply);
    EXPECT_EQ(Count(tqd.log(), "skipping malformed line"), 1u);
    EXPECT_NE(tqd.log().find("(8386560 malformed lines in all)"), std::string::npos);
}

TEST(TqdStarting, RemovesTheStoresStaleTemporaryFiles) {
    // A bad port stops the start, after the store has been seen to.
    tqtest::TempStore store("[Session]\nnTQDPORT=99999\n");
    const std::string stale = store.path() + ".tmp-q1W2e3", fresh = store.path() + ".tmp-r4T5y6";
    tqtest::WriteFile(stale, "[Base]\npartial");
    tqtest::WriteFile(fresh, "[Base]\npartial");
    const timespec old[2] = {{time(nullptr) - 120, 0}, {time(nullptr) - 120, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, stale.c_str(), old, 0), 0);
    EXPECT_EQ(RunTqd({"--foreground"}).status, 1);
    struct stat st;
    EXPECT_NE(stat(stale.c_str(), &st), 0);
    EXPECT_EQ(stat(fresh.c_str(), &st), 0);
}

TEST(TqdStarting, BadConfigurationStopsTheStartNamingTheValue) {
    tqtest::TempStore store("[Session]\nnTQDPORT=99999\n");
    RunResult result = RunTqd({"--foreground"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "tqd: Session/nTQDPORT=99999 is not a port number (1-65535)\n");
    store.write("[Session]\nsTQDALLOWEDUIDS=alice\n");
    result = RunTqd({"--foreground"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "tqd: Session/sTQDALLOWEDUIDS=alice: \"alice\" is not a uid\n");
}

TEST(TqdCommandLine, HelpNamesEveryOptionAndTheStoreKeys) {
    const RunResult result = RunTqd({"--help"});
    EXPECT_EQ(result.status, 0);
    for (const char* text :
         {"--port", "--address", "--workers", "--library", "--pidfile", "--foreground", "--version",
          "nTQDPORT", "sTQDADDRESS", "dTQDWORKERS", "sTQDLIBRARY", "sTQDALLOWEDUIDS", "SIGTERM"}) {
        EXPECT_NE(result.out.find(text), std::string::npos) << text;
    }
    EXPECT_NE(RunTqd({"--no-such-option"}).status, 0);
}

// "<a.b.c.d> MM/DD/YY HH:MM:SS\n"
bool IsVersionLine(const std::string& text) {
    const std::size_t blank = text.find(' ');
    if (blank == std::string::npos) return false;
    const std::string version = text.substr(0, blank);
    int dots = 0;
    bool digitBefore = false;
    for (char c : version) {
        if (c == '.') {
            if (!digitBefore) return false;
            ++dots;
            digitBefore = false;
        } else if (c >= '0' && c <= '9') {
            digitBefore = true;
        } else {
            return false;
        }
    }
    if (dots != 3 || !digitBefore) return false;
    const std::string rest = text.substr(blank + 1);
    const std::string shape = "99/99/99 99:99:99\n";
    if (rest.size() != shape.size()) return false;
    for (std::size_t index = 0; index < shape.size(); ++index) {
        const bool digit = rest[index] >= '0' && rest[index] <= '9';
        if (shape[index] == '9' ? !digit : rest[index] != shape[index]) return false;
    }
    return true;
}

TEST(TqdCommandLine, VersionPrintsTheLibrarysVersionLineAsItIs) {
    tqtest::TempStore store;
    std::string expected;
    ASSERT_TRUE(ReadElfSection(BuildDir() + "/libtqrcgmgr.so", "TqVersion", &expected));
    const RunResult result = RunTqd({"--version"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, expected);
    EXPECT_TRUE(IsVersionLine(result.out)) << result.out;
    const RunResult missing = RunTqd({"--version", "--library", "/nonexistent/lib.so"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot read the version of /nonexistent/lib.so"), std::string::npos);
}

// The daemon mode: the starting process returns once the daemon serves.
TEST(TqdDaemonMode, DaemonizesWritesThePidFileAndRemovesItOnStop) {
    const std::uint16_t port = FreePort();
    tqtest::TempStore store("[Session]\nnTQDPORT=" + std::to_string(port) +
                            "\nsTQDALLOWEDUIDS=" + std::to_string(geteuid()) + "\n");
    const std::string pidPath = store.dir() + "/tqd.pid";
    const RunResult result = RunTqd({"--pidfile", pidPath});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "");
    const pid_t pid = static_cast<pid_t>(std::atol(tqtest::ReadFile(pidPath).c_str()));
    ASSERT_GT(pid, 1);
    // Whatever happens below, the daemon goes; only this test's daemon, known
    // by its own pid file on its command line, is ever signalled.
    struct Killer {
        pid_t pid;
        std::string pidPath;
        ~Killer() {
            if (access(pidPath.c_str(), F_OK) != 0) return;  // stopped already
            const std::string commandLine = tqtest::ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
            if (commandLine.find(pidPath) != std::string::npos) kill(pid, SIGKILL);
        }
    } killer{pid, pidPath};
    EXPECT_EQ(tqtest::ReadFile(pidPath), std::to_string(pid) + "\n");
    EXPECT_NE(pid, getpid());
    EXPECT_NE(getsid(pid), getsid(0));  // a session of its own
    EXPECT_EQ(TextOf(Ask(port, HarmlessFrame())), kUnsupportedReply);

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    const auto start = Clock::now();
    while (SecondsSince(start) < 60 && access(pidPath.c_str(), F_OK) == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_NE(access(pidPath.c_str(), F_OK), 0);
    EXPECT_NE(store.log().find("INFO tqd tqd stopped"), std::string::npos);
}

}  // namespace
