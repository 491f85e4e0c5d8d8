// tqrcg end to end: the built command against a real tqd on the host's
// hierarchy (the cgroup tools on v1, the cgroup2 mount under the test's base).  Groups are owned by this test ("tqtest_<pid>_..."); the processes
// moved are the test's own children.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/FakeTqd.h"
#include "tests/support/TestSupport.h"

extern char** environ;

namespace {

using tqtest::GroupCleanup;
using tqtest::GroupFolder;
using tqtest::ListLine;
using tqtest::OwnedGroupName;
using tqtest::ReadFile;
using tqtest::SleepingChild;
using tqtest::StoreForPort;
using tqtest::TempStore;

std::string BuildPath(const std::string& name) {
    const char* dir = getenv("TQ_BUILD_DIR");
    return std::string(dir ? dir : ".") + "/" + name;
}


bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// A started program whose standard output and error go to files; killed and
// reaped when the object goes, unless it was waited for.
class Spawned {
public:
    Spawned(const std::vector<std::string>& args, const std::string& outputPrefix)
        : m_outPath(outputPrefix + ".out"), m_errPath(outputPrefix + ".err") {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, m_outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, m_errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<char*> argv;
        std::vector<std::string> words = args;
        for (auto& word : words) argv.push_back(&word[0]);
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Spawned() {
        if (m_pid > 0 && !m_reaped) {
            kill(m_pid, SIGTERM);
            for (int i = 0; i < 100 && waitpid(m_pid, &m_status, WNOHANG) == 0; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            if (waitpid(m_pid, &m_status, WNOHANG) == 0) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &m_status, 0);
            }
        }
    }
    Spawned(const Spawned&) = delete;
    Spawned& operator=(const Spawned&) = delete;

    pid_t pid() const { return m_pid; }
    // The exit status as a shell shows it.
    int wait() {
        if (!m_reaped) {
            while (waitpid(m_pid, &m_status, 0) < 0 && errno == EINTR) {
            }
            m_reaped = true;
        }
        if (WIFEXITED(m_status)) return WEXITSTATUS(m_status);
        return 128 + WTERMSIG(m_status);
    }
    std::string out() const { return ReadFile(m_outPath); }
    std::string err() const { return ReadFile(m_errPath); }

private:
    std::string m_outPath;
    std::string m_errPath;
    pid_t m_pid = -1;
    int m_status = 0;
    bool m_reaped = false;
};

bool CanConnect(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    close(fd);
    return ok;
}

int FreePort() {
    tqtest::RefusedPort probe;
    return probe.port();
}

// A real tqd on a free loopback port, with the test's store.
class RealTqd {
public:
    RealTqd(const TempStore& store, int port)
        : m_port(port),
          m_process({BuildPath("tqd"), "--foreground", "--port", std::to_string(m_port)}, store.dir() + "/tqd") {
        for (int i = 0; i < 2400 && !CanConnect(m_port); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
    }
    int port() const { return m_port; }
    bool listening() const { return CanConnect(m_port); }
    std::string output() const { return m_process.err(); }

private:
    int m_port;
    Spawned m_process;
};

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

class TqrcgSystem : public ::testing::Test {
protected:
    void SetUp() override {
        m_dummyExisted = Exists(GroupFolder("tqrcgmgrdummy"));
    }
    void TearDown() override {
        // The dummy group receives removed processes; it goes only when this
        // test made it (its processes are this test's own, gone by now).
        if (!m_dummyExisted) GroupCleanup::removeGroup("tqrcgmgrdummy");
        GroupCleanup::removeBase();
    }

    Outcome Tqrcg(const TempStore& store, const std::vector<std::string>& args) {
        std::vector<std::string> argv{BuildPath("tqrcg")};
        argv.insert(argv.end(), args.begin(), args.end());
        Spawned process(argv, store.dir() + "/tqrcg" + std::to_string(++m_runs));
        const int status = process.wait();
        return Outcome{status, process.out(), process.err()};
    }

    bool m_dummyExisted = false;
    int m_runs = 0;
};

std::vector<pid_t> GroupTasks(const std::string& group) { return tqtest::GroupProcesses(group); }

// The line of /proc/self/cgroup of a process in `group`.
std::string CgroupLine(const std::string& group) {
    if (!tqtest::OnCgroup2()) return ":cpu:/" + group + "\n";
    return "0::" + tqtest::GroupsRoot().substr(std::string(tqtest::kCgroup2Mount).size()) + "/" + group + "\n";
}

// Percent of the whole machine that the group's tasks used over `seconds`.
double GroupCpuPercent(const std::string& group, double seconds) {
    const std::vector<pid_t> tasks = GroupTasks(group);
    std::vector<double> before;
    const auto start = std::chrono::steady_clock::now();
    for (pid_t task : tasks) before.push_back(tqtest::ProcessCpuSeconds(task));
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    double used = 0;
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        const double after = tqtest::ProcessCpuSeconds(tasks[i]);
        if (after >= before[i]) used += after - before[i];
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return 100.0 * used / (wall * double(tqtest::ProcessorCount()));
}

TEST_F(TqrcgSystem, EverySubcommandActsOnRealGroups) {
    TQ_REQUIRE_SYSTEM();
    const std::string group = OwnedGroupName("cli");
    GroupCleanup cleanup({group});
    const int port = FreePort();
    TempStore store(StoreForPort(port));
    RealTqd tqd(store, port);
    ASSERT_TRUE(tqd.listening()) << tqd.output();
    SleepingChild child;

    Outcome outcome = Tqrcg(store, {"create", group});
    EXPECT_EQ(outcome.status, 0) << outcome.err << tqd.output();
    EXPECT_EQ(outcome.out + outcome.err, "");
    EXPECT_TRUE(Exists(GroupFolder(group)));
    EXPECT_EQ(Tqrcg(store, {"create", group}).status, 0);

    outcome = Tqrcg(store, {"cap", group, "30"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(tqtest::CapSetting(group), std::to_string(30 * tqtest::ProcessorCount() * 1000) + " 100000");

    outcome = Tqrcg(store, {"assign", group, std::to_string(child.pid())});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(tqtest::CpuCgroupOf(child.pid()), "/" + group);

    outcome = Tqrcg(store, {"list"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out.rfind("GROUP", 0), 0u) << outcome.out;
    EXPECT_EQ(ListLine(outcome.out, group, 6), group + " 30% 1 30% 0% 0.00s") << outcome.out;

    outcome = Tqrcg(store, {"remove", group, std::to_string(child.pid())});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(tqtest::CpuCgroupOf(child.pid()), "/tqrcgmgrdummy");
    EXPECT_EQ(ListLine(Tqrcg(store, {"list"}).out, group, 6), group + " 30% 0 30% 0% 0.00s");
    // A quota changed behind the manager's back is marked against the remembered cap.
    tqtest::WriteCap(group, 1000);
    EXPECT_EQ(ListLine(Tqrcg(store, {"list"}).out, group).rfind(group + " 0.5% 0 30% (differs", 0), 0u)
        << Tqrcg(store, {"list"}).out;

    outcome = Tqrcg(store, {"delete", group});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_FALSE(Exists(GroupFolder(group)));
    outcome = Tqrcg(store, {"list"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(ListLine(outcome.out, group), group + " (no longer exists)") << outcome.out;

    outcome = Tqrcg(store, {"enabled"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, "0\n");
}

TEST_F(TqrcgSystem, ExitStatusIsZeroOneOrTwo) {
    TQ_REQUIRE_SYSTEM();
    const std::string missing = OwnedGroupName("missing");
    GroupCleanup cleanup({missing});
    const int port = FreePort();
    TempStore store(StoreForPort(port));
    {
        RealTqd tqd(store, port);
        ASSERT_TRUE(tqd.listening()) << tqd.output();

        Outcome outcome = Tqrcg(store, {"cap", missing, "50"});
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.err, "tqrcg: The resource group " + missing + " doesn't exist.\n");
        EXPECT_EQ(Tqrcg(store, {"cap", missing}).status, 2);
        EXPECT_EQ(Tqrcg(store, {"frobnicate"}).status, 2);
        EXPECT_EQ(Tqrcg(store, {"delete", missing}).status, 0);
        outcome = Tqrcg(store, {"create", "bad name"});
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.err.rfind("tqrcg: ", 0), 0u);
        EXPECT_EQ(outcome.err.find("[Win32 error"), std::string::npos) << outcome.err;
    }
    const Outcome outcome = Tqrcg(store, {"create", missing});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "tqrcg: tqd is not running on port " + std::to_string(port) +
                               ": start it with `service tqd start` or `tqd --foreground &`\n");
}

// A name one byte too long never acts on the group named by its first 255
// bytes: every request is refused before it is sent, and that group stays
// absent.
TEST_F(TqrcgSystem, ANameLongerThan255BytesIsRefusedAndActsOnNoGroup) {
    TQ_REQUIRE_SYSTEM();
    std::string cut = OwnedGroupName("long");
    cut += std::string(255 - cut.size(), 'x');
    const std::string name = cut + "y";
    GroupCleanup cleanup({cut});
    const int port = FreePort();
    TempStore store(StoreForPort(port));
    RealTqd tqd(store, port);
    ASSERT_TRUE(tqd.listening()) << tqd.output();
    SleepingChild child;

    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"create", name}, {"cap", name, "30"}, {"assign", name, std::to_string(child.pid())},
             {"remove", name, std::to_string(child.pid())}, {"delete", name}, {"run", name, "30", "--", "true"}}) {
        const Outcome outcome = Tqrcg(store, args);
        EXPECT_EQ(outcome.status, 1) << args[0];
        EXPECT_NE(outcome.err.find("a name may hold at most 255 characters"), std::string::npos) << outcome.err;
        EXPECT_FALSE(Exists(GroupFolder(cut))) << args[0];
    }
    // Exactly 255 bytes is a name like any other.
    EXPECT_EQ(Tqrcg(store, {"create", cut}).status, 0);
    EXPECT_TRUE(Exists(GroupFolder(cut)));
    EXPECT_EQ(Tqrcg(store, {"delete", cut}).status, 0);
    EXPECT_FALSE(Exists(GroupFolder(cut)));
}

TEST_F(TqrcgSystem, RunStartsTheCommandInsideTheCappedGroup) {
    TQ_REQUIRE_SYSTEM();
    const std::string group = OwnedGroupName("run");
    const std::string once = OwnedGroupName("once");
    GroupCleanup cleanup({group, once});
    const int port = FreePort();
    TempStore store(StoreForPort(port));
    RealTqd tqd(store, port);
    ASSERT_TRUE(tqd.listening()) << tqd.output();

    // The command's very first code already runs in the group.
    Outcome outcome = Tqrcg(store, {"run", group, "50", "--", "cat", "/proc/self/cgroup"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_NE(outcome.out.find(CgroupLine(group)), std::string::npos) << outcome.out;

    EXPECT_EQ(Tqrcg(store, {"run", group, "50", "--", "sh", "-c", "exit 3"}).status, 3);
    EXPECT_TRUE(Exists(GroupFolder(group)));  // kept without --delete

    outcome = Tqrcg(store, {"run", "--delete", once, "20", "--", "true"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_FALSE(Exists(GroupFolder(once)));
}

TEST_F(TqrcgSystem, RunHoldsABusyCommandToItsCapAndPassesSigtermOn) {
    TQ_REQUIRE_SYSTEM();
    const std::string group = OwnedGroupName("busy");
    GroupCleanup cleanup({group});
    const int port = FreePort();
    TempStore store(StoreForPort(port));
    RealTqd tqd(store, port);
    ASSERT_TRUE(tqd.listening()) << tqd.output();

    // Two busy loops want two processors; the cap of 10 % of the machine is
    // far below what they get even on a busy machine, so the cap is what
    // holds them back.  Each loop ends by itself after 60 s, and at once
    // when the shell is told to stop.
    Spawned run({BuildPath("tqrcg"), "run", group, "10", "--", "sh", "-c",
                 "timeout 60 yes >/dev/null & a=$!; timeout 60 yes >/dev/null & b=$!; "
                 "trap 'kill $a $b 2>/dev/null; exit 143' TERM; wait"},
                store.dir() + "/busy");
    for (int i = 0; i < 1500 && GroupTasks(group).size() < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // sh, two timeouts, two yes (busybox's timeout keeps a watcher of its own,
    // and a shell may hold a child for a moment before it runs the loop).
    ASSERT_GE(GroupTasks(group).size(), 5u) << run.err();

    // The cap shows by its upper bound and by the kernel throttling the
    // group; other work on the machine can only lower the share used.
    const std::string folder = GroupFolder(group);
    const long long throttled = tqtest::ThrottledPeriods(folder);
    ASSERT_GE(throttled, 0);
    const double used = GroupCpuPercent(group, 2.0);
    printf("the group used %.1f %% of the machine under a cap of 10 %%\n", used);
    EXPECT_LE(used, 15.0);
    EXPECT_TRUE(tqtest::ThrottlingGrows(folder, throttled));

    kill(run.pid(), SIGTERM);
    EXPECT_EQ(run.wait(), 143) << run.err();
    for (int i = 0; i < 100 && !GroupTasks(group).empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(GroupTasks(group).empty());
    EXPECT_EQ(Tqrcg(store, {"delete", group}).status, 0);
}

}  // namespace
