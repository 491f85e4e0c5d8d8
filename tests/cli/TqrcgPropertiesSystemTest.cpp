// tqrcg set and run --set end to end: the built command against a real tqd
// on a free loopback port and the real hierarchies of this host.  Kernel
// values are read through the manager's own reader of the hierarchy in use,
// so the same cases hold on cgroup v1 (cpu, memory and pids mounted apart)
// and on cgroup2.  Groups are owned by this test ("tqtest_<pid>_..."); the
// processes in them are the test's own descendants.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "rcg/CgroupFs.h"
#include "rcg/RcgNames.h"
#include "rcg/RcgReader.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TqdHarness.h"

extern char** environ;

namespace {

using TqRcgCtrllr::RcgProperty;
using TqRcgCtrllr::detail::RcgReader;
using tqtest::OwnedGroupName;
using tqtest::ReadFile;

struct Outcome {
    int status = -1;
    std::string out, err;
};

// Runs the built tqrcg to its end, its output kept in files of `dir`.
Outcome RunTqrcg(const std::string& dir, const std::vector<std::string>& args) {
    static int runs = 0;
    const std::string prefix = dir + "/tqrcg" + std::to_string(++runs);
    std::vector<std::string> words{tqdtest::BuildDir() + "/tqrcg"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (prefix + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (prefix + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    Outcome outcome;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    outcome.out = ReadFile(prefix + ".out");
    outcome.err = ReadFile(prefix + ".err");
    return outcome;
}

// The folders of a group in every hierarchy of this host that may hold it:
// the v1 hierarchies of the controllers the manager uses, or the cgroup2
// folder below the manager's base.
std::vector<std::string> GroupFolders(const std::string& group) {
    std::vector<std::string> folders;
    for (const char* controller : {"cpu", "cpuset", "memory", "pids"})
        folders.push_back(std::string("/sys/fs/cgroup/") + controller + "/" + group);
    folders.push_back("/sys/fs/cgroup/tqrcg/" + group);
    folders.push_back("/sys/fs/cgroup/unified/tqrcg/" + group);
    return folders;
}

// Ends the processes still in the group (the test's own descendants) and
// removes its folders in every hierarchy; also on construction, for the
// leftovers of an earlier run that failed.
class GroupsGone {
public:
    explicit GroupsGone(std::vector<std::string> groups) : m_groups(std::move(groups)) { removeAll(); }
    ~GroupsGone() { removeAll(); }
    GroupsGone(const GroupsGone&) = delete;
    GroupsGone& operator=(const GroupsGone&) = delete;

private:
    void removeAll() {
        for (const std::string& group : m_groups) {
            if (group.find(tqtest::OwnedGroupName("")) != 0) continue;  // only names this test owns
            for (const std::string& folder : GroupFolders(group)) remove(folder);
        }
    }
    static void remove(const std::string& folder) {
        struct stat st;
        if (stat(folder.c_str(), &st) != 0) return;
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::istringstream procs(ReadFile(folder + "/cgroup.procs"));
            std::string pid;
            while (std::getline(procs, pid)) {
                if (!pid.empty()) kill(static_cast<pid_t>(std::stol(pid)), SIGKILL);
            }
            if (rmdir(folder.c_str()) == 0 || errno != EBUSY) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    std::vector<std::string> m_groups;
};

// The test's real tqd with its store (TQ_CONFIG points there for tqrcg).
class PropertiesSystem : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string blocker = tqtest::SystemTestBlocker();
        if (!blocker.empty()) {
            if (tqtest::SystemTestsRequired()) FAIL() << "system test cannot run: " << blocker;
            GTEST_SKIP() << "SKIPPED (needs root and the cgroup hierarchies): " << blocker;
        }
        m_tqd.reset(new tqdtest::TqdProcess());
        ASSERT_TRUE(m_tqd->running()) << m_tqd->errText();
        m_reader = TqRcgCtrllr::detail::ChooseReader();
        std::string why;
        ASSERT_TRUE(m_reader->usable(&why)) << why;
    }

    Outcome Tqrcg(const std::vector<std::string>& args) { return RunTqrcg(m_tqd->store().dir(), args); }

    // A property of `group` as the kernel holds it, in the property's terms.
    std::string Kernel(const std::string& group, RcgProperty property) {
        TqRcgCtrllr::detail::RcgName name;
        std::string problem, value;
        if (!TqRcgCtrllr::detail::ParseRcgName(group, &name, &problem)) return "bad name: " + problem;
        return m_reader->read(name, property, &value) ? value : "unreadable";
    }

    bool V1() const { return std::string(m_reader->hierarchyName()) == "cgroup v1"; }

    // The group's object of `tqrcg list --json`.
    nlohmann::json Listed(const std::string& group) {
        const Outcome listed = Tqrcg({"list", "--json"});
        EXPECT_EQ(0, listed.status) << listed.err;
        for (const nlohmann::json& object : nlohmann::json::parse(listed.out, nullptr, false)) {
            if (object.is_object() && object["group"] == group) return object;
        }
        return nlohmann::json();
    }

    std::unique_ptr<tqdtest::TqdProcess> m_tqd;
    std::unique_ptr<RcgReader> m_reader;
};

TEST_F(PropertiesSystem, SetWritesEachPropertyAndListShowsItAsAskedAndHeld) {
    const std::string group = OwnedGroupName("props");
    GroupsGone gone({group});
    ASSERT_EQ(0, Tqrcg({"create", group}).status);

    struct Case {
        std::vector<std::string> settings;
        RcgProperty property;
        std::string held;      // through the reader, in the property's terms
        const char* v1File;    // the v1 file's own text, on a v1 host
        std::string v1Text;
    };
    const std::vector<Case> cases = {
        {{"memory.max=64M", "cpu.weight=300"}, RcgProperty::kMemoryMax, "67108864", "memory/%s/memory.limit_in_bytes",
         "67108864"},
        {{"memory.max=64M", "cpu.weight=300"}, RcgProperty::kCpuWeight, "300", "cpu/%s/cpu.shares", "3072"},
        {{"weight=50"}, RcgProperty::kCpuWeight, "50", "cpu/%s/cpu.shares", "512"},
        {{"pids.max=20"}, RcgProperty::kPidsMax, "20", "pids/%s/pids.max", "20"},
        {{"pids=max", "mem=1G"}, RcgProperty::kPidsMax, "max", "pids/%s/pids.max", "max"},
        {{"pids=max", "mem=1G"}, RcgProperty::kMemoryMax, "1073741824", "memory/%s/memory.limit_in_bytes",
         "1073741824"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"set", group};
        args.insert(args.end(), c.settings.begin(), c.settings.end());
        const Outcome outcome = Tqrcg(args);
        ASSERT_EQ(0, outcome.status) << c.settings[0] << ": " << outcome.err << m_tqd->log();
        EXPECT_EQ("", outcome.out + outcome.err);
        EXPECT_EQ(c.held, Kernel(group, c.property)) << c.settings[0];
        if (V1()) {
            char path[512];
            snprintf(path, sizeof path, (std::string("/sys/fs/cgroup/") + c.v1File).c_str(), group.c_str());
            std::string text = ReadFile(path);
            while (!text.empty() && text.back() == '\n') text.pop_back();
            EXPECT_EQ(c.v1Text, text) << path;
        }
    }
    const nlohmann::json listed = Listed(group);
    ASSERT_TRUE(listed.is_object()) << "not listed";
    EXPECT_EQ("1G", listed["properties"]["memory.max"]["asked"]);
    EXPECT_EQ("1073741824", listed["properties"]["memory.max"]["kernel"]);
    EXPECT_EQ("50", listed["properties"]["cpu.weight"]["asked"]);
    EXPECT_EQ("max", listed["properties"]["pids.max"]["kernel"]);
    EXPECT_FALSE(listed["memory_bytes"].is_null());
    EXPECT_EQ(0, Tqrcg({"delete", group}).status);
}

TEST_F(PropertiesSystem, NothingIsHalfAppliedAndBadValuesAreRefused) {
    const std::string group = OwnedGroupName("half");
    GroupsGone gone({group});
    ASSERT_EQ(0, Tqrcg({"create", group}).status);
    ASSERT_EQ(0, Tqrcg({"set", group, "memory.max=64M", "cpu.weight=300"}).status);
    struct Case {
        std::vector<std::string> settings;
        int status;
    };
    const std::vector<Case> cases = {
        {{"memory.max=128M", "cpu.weight=10001"}, 2},
        {{"memory.max=128M", "cpu.weight=0"}, 2},
        {{"memory.max=-1", "cpu.weight=200"}, 2},
        {{"memory.max=128M", "cpuset.cpus=4000"}, 1},  // no such processor online
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"set", group};
        args.insert(args.end(), c.settings.begin(), c.settings.end());
        const Outcome outcome = Tqrcg(args);
        EXPECT_EQ(c.status, outcome.status) << c.settings[1] << outcome.err;
        EXPECT_EQ("67108864", Kernel(group, RcgProperty::kMemoryMax)) << c.settings[1];
        EXPECT_EQ("300", Kernel(group, RcgProperty::kCpuWeight)) << c.settings[1];
    }
    if (V1()) {
        // cgroup v1 has no soft limit: refused with a reply that names it, and nothing else is set.
        const Outcome soft = Tqrcg({"set", group, "cpu.weight=200", "memory.high=1G"});
        EXPECT_EQ(1, soft.status);
        EXPECT_NE(std::string::npos, soft.err.find("memory.high")) << soft.err;
        EXPECT_EQ("300", Kernel(group, RcgProperty::kCpuWeight));
    }
    const Outcome missing = Tqrcg({"set", OwnedGroupName("nosuch"), "pids.max=20"});
    EXPECT_EQ(1, missing.status);
    EXPECT_EQ(0u, missing.err.rfind("tqrcg: ", 0)) << missing.err;
}

TEST_F(PropertiesSystem, AnAllocatorPastMemoryMaxIsKilledInsideItsGroup) {
    const std::string group = OwnedGroupName("oom");
    GroupsGone gone({group});
    // tail keeps a line without an end in memory: /dev/zero is one such line.
    const Outcome outcome =
        Tqrcg({"run", "--set", "memory.max=64M", group, "100", "--", "sh", "-c", "tail /dev/zero; exit $?"});
    EXPECT_EQ(128 + SIGKILL, outcome.status) << outcome.err;
    EXPECT_EQ("67108864", Kernel(group, RcgProperty::kMemoryMax));
    const nlohmann::json listed = Listed(group);
    ASSERT_TRUE(listed.is_object());
    ASSERT_FALSE(listed["oom_kills"].is_null()) << listed.dump();
    EXPECT_GE(listed["oom_kills"].get<long>(), 1) << listed.dump();
    const Outcome table = Tqrcg({"list"});
    const std::vector<std::string> header = tqtest::LineWords(table.out, "GROUP");
    const std::vector<std::string> line = tqtest::LineWords(table.out, group);
    std::size_t column = 0;
    while (column < header.size() && header[column] != "OOM-KILLS") ++column;
    ASSERT_LT(column, header.size()) << table.out;
    ASSERT_LT(column, line.size()) << table.out;
    EXPECT_NE("0", line[column]) << table.out;
    EXPECT_EQ(0, kill(m_tqd->pid(), 0)) << "tqd lives on";
    EXPECT_EQ(0, Tqrcg({"delete", group}).status);
}

TEST_F(PropertiesSystem, PidsMaxStopsAForkLoopAtItsLimit) {
    const std::string group = OwnedGroupName("forks");
    GroupsGone gone({group});
    const std::string started = m_tqd->store().dir() + "/started";
    // Each process started is written down; the shell counts as one of the 20.
    const Outcome outcome =
        Tqrcg({"run", "--set", "pids.max=20", group, "100", "--", "sh", "-c",
               "i=0; while [ $i -lt 40 ]; do sleep 30 & echo $! >>" + started + "; i=$((i+1)); done; wait"});
    EXPECT_NE(0, outcome.status) << "the loop cannot finish";
    EXPECT_EQ("20", Kernel(group, RcgProperty::kPidsMax));
    std::istringstream lines(ReadFile(started));
    std::string line;
    std::size_t count = 0;
    while (std::getline(lines, line)) count += line.empty() ? 0 : 1;
    EXPECT_EQ(19u, count) << outcome.err;
    const nlohmann::json listed = Listed(group);
    ASSERT_TRUE(listed.is_object());
    if (!listed["tasks"].is_null()) {
        EXPECT_LE(listed["tasks"].get<long>(), 20);
    }
}

// Busy loops of one group, more than there are processors.
std::string BusyLoops(int count) {
    std::string script;
    for (int i = 0; i < count; ++i) script += "timeout 20 sh -c 'while :; do :; done' & ";
    return script + "wait";
}

// CPU time of a group's processes so far, in seconds, through the reader.
double CpuSeconds(RcgReader& reader, const std::string& group) {
    return double(reader.figures(group).cpuTimeNs) / 1e9;
}

TEST_F(PropertiesSystem, WeightsSplitTheProcessorsInTheirRatio) {
    const std::string light = OwnedGroupName("w100");
    const std::string heavy = OwnedGroupName("w300");
    GroupsGone gone({light, heavy});
    const long loops = tqtest::ProcessorCount() + 1;
    for (const auto& group : {light, heavy}) ASSERT_EQ(0, Tqrcg({"create", group}).status);
    ASSERT_EQ(0, Tqrcg({"set", light, "cpu.weight=100"}).status);
    ASSERT_EQ(0, Tqrcg({"set", heavy, "cpu.weight=300"}).status);
    // The two groups run side by side; each run ends when its loops do.
    std::vector<std::thread> runs;
    for (const auto& group : {light, heavy}) {
        runs.emplace_back([this, group, loops] {
            Tqrcg({"run", group, "100", "--", "sh", "-c", BusyLoops(static_cast<int>(loops))});
        });
    }
    for (int i = 0; i < 200; ++i) {
        if (m_reader->figures(light).processes >= std::uint64_t(loops) &&
            m_reader->figures(heavy).processes >= std::uint64_t(loops))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double lightBefore = CpuSeconds(*m_reader, light), heavyBefore = CpuSeconds(*m_reader, heavy);
    std::this_thread::sleep_for(std::chrono::seconds(6));
    const double lightUsed = CpuSeconds(*m_reader, light) - lightBefore;
    const double heavyUsed = CpuSeconds(*m_reader, heavy) - heavyBefore;
    GroupsGone stop({light, heavy});  // ends the loops now
    for (auto& run : runs) run.join();
    printf("weight 100 used %.2f s, weight 300 used %.2f s of CPU\n", lightUsed, heavyUsed);
    ASSERT_GT(lightUsed, 0.0);
    // 3 with a wide margin: the host's other load takes from both alike.
    EXPECT_GT(heavyUsed / lightUsed, 1.8);
    EXPECT_LT(heavyUsed / lightUsed, 5.0);
}

}  // namespace
