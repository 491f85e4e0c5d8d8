// tqrcg list --json and top on the host's hierarchy: the figures of 1,000
// groups, and top in a terminal (tmux) beside a capped busy loop.  The groups are this test's own ("tqtest_<pid>_..."),
// made and removed here; the processes moved are its own children.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestSupport.h"

extern char** environ;

namespace {

using tqtest::GroupCleanup;
using tqtest::LineWords;
using tqtest::OwnedGroupName;
using tqtest::ReadFile;
using tqtest::TempStore;

std::string BuildPath(const std::string& name) {
    const char* dir = getenv("TQ_BUILD_DIR");
    return std::string(dir ? dir : ".") + "/" + name;
}

std::string Folder(const std::string& group) { return tqtest::GroupFolder(group); }

struct ProgramRun {
    int status = -1;
    std::string out;
    double seconds = 0;     // wall time from the start to the exit
    double cpuSeconds = 0;  // user and system time of the program
};

// Runs `args` with standard output into a file of `store`'s folder.
ProgramRun RunProgram(const std::vector<std::string>& args, const TempStore& store) {
    const std::string outPath = store.dir() + "/run.out";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> words = args;
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    ProgramRun run;
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        rusage usage{};
        while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
        }
        run.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                         usage.ru_stime.tv_usec / 1e6;
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    posix_spawn_file_actions_destroy(&actions);
    run.out = ReadFile(outPath);
    return run;
}

// `count` groups "<prefix>N" made with mkdir, listed in the store's group
// list; removed (with GroupCleanup) when the object goes.
class ManyGroups {
public:
    ManyGroups(const std::string& prefix, int count) : m_cleanup({}) {
        for (int i = 0; i < count; ++i) {
            const std::string name = prefix + std::to_string(i);
            m_cleanup.add(name);
            if (tqtest::MakeGroupFolder(name)) m_names.push_back(name);
        }
    }
    const std::vector<std::string>& names() const { return m_names; }
    std::string listValue() const {
        std::string value;
        for (const auto& name : m_names) value += " " + name;
        return value;
    }

private:
    GroupCleanup m_cleanup;
    std::vector<std::string> m_names;
};

// The time it takes is printed, not asserted: speed is the bench's.
TEST(TqrcgFiguresSystem, ListJsonReadsAThousandGroups) {
    TQ_REQUIRE_SYSTEM();
    ManyGroups groups(OwnedGroupName("many"), 1000);
    ASSERT_EQ(1000u, groups.names().size());
    TempStore store("[Base]\n" + tqtest::BaseLine() + "sTQRCGMGRGROUPS=" + groups.listValue() + "\n");

    const ProgramRun run = RunProgram({BuildPath("tqrcg"), "list", "--json"}, store);
    ASSERT_EQ(0, run.status) << run.out;
    const nlohmann::json listed = nlohmann::json::parse(run.out);
    ASSERT_EQ(1000u, listed.size());
    EXPECT_EQ(groups.names()[999], listed[999]["group"]);
    EXPECT_EQ(true, listed[999]["exists"]);
    EXPECT_EQ(0, listed[999]["processes"]);
    if (std::system("command -v python3 >/dev/null 2>&1") == 0) {
        const std::string check = "python3 -m json.tool < '" + store.dir() + "/run.out' >/dev/null";
        EXPECT_EQ(0, std::system(check.c_str())) << "python3 -m json.tool refuses the output";
    }
    printf("tqrcg list --json with 1000 groups: %.1f ms of processor time, %.1f ms wall time\n",
           run.cpuSeconds * 1000, run.seconds * 1000);
    RecordProperty("list_json_1000_groups_wall_ms", std::to_string(run.seconds * 1000));
}

// ---- top in a terminal ---------------------------------------------------

// A tmux server of this test's own (its socket named after the test's pid)
// running one command in a window of the given size; the server is killed
// when the object goes.
class Tmux {
public:
    Tmux(const std::string& command, int width, int height) : m_socket("tqtest_" + std::to_string(getpid())) {
        tmux("kill-server 2>/dev/null");
        tmux("new-session -d -s top -x " + std::to_string(width) + " -y " + std::to_string(height) + " " +
             Quote(command));
    }
    ~Tmux() { tmux("kill-server 2>/dev/null"); }
    Tmux(const Tmux&) = delete;
    Tmux& operator=(const Tmux&) = delete;

    std::string capture() { return output("capture-pane -p -t top"); }
    void keys(const std::string& keys) { tmux("send-keys -t top " + keys); }
    void resize(int width, int height) {
        tmux("resize-window -t top -x " + std::to_string(width) + " -y " + std::to_string(height));
    }
    bool alive() { return tmux("has-session -t top 2>/dev/null") == 0; }
    pid_t panePid() {
        return static_cast<pid_t>(std::atol(output("list-panes -t top -F '#{pane_pid}'").c_str()));
    }
    // Waits until the screen holds `text`; the last screen.
    std::string waitFor(const std::string& text, double seconds) {
        std::string screen;
        for (int i = 0; i < seconds * 20; ++i) {
            screen = capture();
            if (screen.find(text) != std::string::npos) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return screen;
    }

    static std::string Quote(const std::string& text) {
        std::string quoted = "'";
        for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return quoted + "'";
    }

private:
    int tmux(const std::string& args) { return std::system(("tmux -L " + m_socket + " " + args).c_str()); }
    std::string output(const std::string& args) {
        std::string text;
        if (FILE* pipe = popen(("tmux -L " + m_socket + " " + args).c_str(), "r")) {
            char buffer[4096];
            std::size_t got;
            while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
            pclose(pipe);
        }
        return text;
    }
    std::string m_socket;
};

bool HaveTmux() { return std::system("command -v tmux >/dev/null 2>&1") == 0; }

#define REQUIRE_TMUX()                                                            \
    do {                                                                          \
        if (!HaveTmux()) {                                                        \
            if (tqtest::SystemTestsRequired()) FAIL() << "tmux is not installed"; \
            GTEST_SKIP() << "SKIPPED (needs tmux): install tmux";                 \
        }                                                                         \
    } while (0)

// The use and throttled share shown for `group`: the numbers of its 3rd and
// its last but one word ("25.1%*", "100.0%").
bool UseAndThrottled(const std::string& screen, const std::string& group, double* use, double* throttled) {
    const std::vector<std::string> words = LineWords(screen, group);
    if (words.size() < 5) return false;
    *use = std::atof(words[2].c_str());
    *throttled = std::atof(words[words.size() - 2].c_str());
    return words[2] != "-";
}

// A group capped at 10 % of the machine, as the manager caps it, holding two
// busy children of this test: they want far more than the cap, even on a
// busy machine, so the kernel throttles the group.
constexpr double kBusyCap = 10.0;
class CappedBusyGroup {
public:
    explicit CappedBusyGroup(const std::string& name) : m_name(name), m_cleanup({name}) {
        tqtest::MakeGroupFolder(name);
        tqtest::WriteCap(name, static_cast<long>(kBusyCap) * tqtest::ProcessorCount() * 1000);
        for (const tqtest::BusyChild& child : m_children)
            tqtest::WriteFile(Folder(name) + "/cgroup.procs", std::to_string(child.pid()));
    }
    std::size_t processes() const { return tqtest::ReadFile(Folder(m_name) + "/cgroup.procs").size(); }

private:
    std::string m_name;
    GroupCleanup m_cleanup;  // goes after the children
    tqtest::BusyChild m_children[2];
};

TEST(TqrcgTopSystem, LiveViewShowsACappedLoopUnderItsCapAndThrottled) {
    TQ_REQUIRE_SYSTEM();
    REQUIRE_TMUX();
    const std::string group = OwnedGroupName("top");
    CappedBusyGroup busy(group);
    ASSERT_GT(busy.processes(), 0u);
    TempStore store("[Base]\n" + tqtest::BaseLine() + "sTQRCGMGRGROUPS= " + group + "\n");
    Tmux tmux("exec env TQ_CONFIG=" + Tmux::Quote(store.path()) + " " + BuildPath("tqrcg") + " top -d 1", 120,
              30);

    ASSERT_NE(std::string::npos, tmux.waitFor("sorted by use", 30).find(group)) << tmux.capture();
    // The cap shows by its upper bound and by the throttling top reports;
    // other work on the machine can only lower the share used.
    double shown = -1, throttled = 0;
    for (int i = 0; i < 60 && (shown < 0 || throttled <= 0); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        double use = 0, share = 0;
        if (!UseAndThrottled(tmux.capture(), group, &use, &share)) continue;
        EXPECT_LE(use, kBusyCap + 3.0) << tmux.capture();
        shown = use, throttled = share;
    }
    printf("top showed %.1f %% use and %.1f %% throttled under a cap of %.0f %%\n", shown, throttled, kBusyCap);
    EXPECT_GE(shown, 0.0) << tmux.capture();
    EXPECT_GT(throttled, 0.0) << tmux.capture();
    EXPECT_NE(std::string::npos, tmux.capture().find('[')) << "a bar at 120 columns";

    tmux.keys("s");
    EXPECT_NE(std::string::npos, tmux.waitFor("sorted by cap", 30).find("sorted by cap")) << tmux.capture();
    tmux.resize(60, 12);
    for (int i = 0; i < 40 && LineWords(tmux.capture(), group).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::string screen = tmux.capture();
    std::istringstream lines(screen);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 60u) << line;
    EXPECT_FALSE(LineWords(screen, group).empty()) << screen;
    EXPECT_EQ(std::string::npos, screen.find('[')) << "no room for the bar at 60 columns:\n" << screen;

    tmux.keys("q");
    for (int i = 0; i < 100 && tmux.alive(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(tmux.alive()) << "q quits";
}

TEST(TqrcgTopSystem, OnceSamplesOverTheDelay) {
    TQ_REQUIRE_SYSTEM();
    const std::string group = OwnedGroupName("once");
    CappedBusyGroup busy(group);
    TempStore store("[Base]\n" + tqtest::BaseLine() + "sTQRCGMGRGROUPS= " + group + "\n");
    double throttled = 0;
    for (int i = 0; i < 10 && throttled <= 0; ++i) {
        const ProgramRun run = RunProgram({BuildPath("tqrcg"), "top", "--once", "-d", "2"}, store);
        ASSERT_EQ(0, run.status) << run.out;
        EXPECT_GE(run.seconds, 2.0);  // the delay is waited out; load may only make it longer
        double use = 0;
        ASSERT_TRUE(UseAndThrottled(run.out, group, &use, &throttled)) << run.out;
        EXPECT_LE(use, kBusyCap + 3.0) << run.out;
    }
    EXPECT_GT(throttled, 0.0);
}

// The processor time top uses is printed, not asserted: speed is the bench's.
TEST(TqrcgTopSystem, TopShowsAHundredGroups) {
    TQ_REQUIRE_SYSTEM();
    REQUIRE_TMUX();
    ManyGroups groups(OwnedGroupName("hundred"), 100);
    ASSERT_EQ(100u, groups.names().size());
    TempStore store("[Base]\n" + tqtest::BaseLine() + "sTQRCGMGRGROUPS=" + groups.listValue() + "\n");
    Tmux tmux("exec env TQ_CONFIG=" + Tmux::Quote(store.path()) + " " + BuildPath("tqrcg") + " top", 120, 40);
    ASSERT_NE(std::string::npos, tmux.waitFor("100 groups", 30).find("100 groups")) << tmux.capture();
    const pid_t top = tmux.panePid();
    ASSERT_GT(top, 0);
    const double before = tqtest::ProcessCpuSeconds(top);
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const double used = tqtest::ProcessCpuSeconds(top) - before;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("tqrcg top with 100 groups used %.2f %% of one processor\n", 100.0 * used / wall);
    EXPECT_TRUE(tmux.alive());
    tmux.keys("q");
}

}  // namespace
