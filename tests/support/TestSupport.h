// Shared helpers of the tests: a scripted command runner, a temporary
// configuration store with its own log folder, an environment guard, a local
// socket pair, and the guards that the tests on the real cgroup hierarchy use
// to own and clean up what they create.
#pragma once

#include <sys/types.h>

#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <cstdint>
#include <string>
#include <vector>

#include "host/TqProcess.h"

namespace tqtest {

// A runner that records every command line and answers from a script.
// Replies are matched in order of Expect/Reply calls: the first unused reply
// whose prefix the command starts with is used; a command that matches none
// gets the default reply (status 0, empty output) and is still recorded.
class ScriptedRunner : public CommandRunner {
public:
    struct Reply {
        std::string prefix;
        int status = 0;
        std::string out;
        std::string err;
        bool sticky = false;  // answers every matching command, not once
    };

    ScriptedRunner();
    ~ScriptedRunner() override;

    // The next command that starts with `prefix` gets this reply (once).
    ScriptedRunner& on(const std::string& prefix, int status, const std::string& out = "",
                       const std::string& err = "");
    // Every command that starts with `prefix` gets this reply.
    ScriptedRunner& always(const std::string& prefix, int status, const std::string& out = "",
                           const std::string& err = "");

    int run(const std::string& command, std::string* out, std::string* err,
            int timeoutSeconds) override;

    std::vector<std::string> commands() const;
    void clear();

private:
    mutable std::mutex m_mutex;
    std::deque<Reply> m_replies;
    std::vector<std::string> m_commands;
    TqProcess::ScopedRunner m_install;
};

// How many temporary files of unfinished store writes (".tmp-" in the name)
// `folder` holds.
int TemporaryFiles(const std::string& folder);

// A temporary folder holding a configuration store (TQ_CONFIG points at it
// while the object lives) and the event-log folder it names.
class TempStore {
public:
    explicit TempStore(const std::string& initialText = "");
    ~TempStore();
    TempStore(const TempStore&) = delete;
    TempStore& operator=(const TempStore&) = delete;

    const std::string& dir() const { return m_dir; }
    const std::string& path() const { return m_path; }
    std::string text() const;
    void write(const std::string& text) const;
    // Everything the event log wrote so far.
    std::string log() const;
    std::string logPath() const;

private:
    std::string m_dir;
    std::string m_path;
    std::string m_previousConfig;
    bool m_hadConfig = false;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);

// Sets `name` to `value` (unsets it for null) until the object goes, then restores it.
class EnvGuard {
public:
    EnvGuard(const char* name, const char* value);
    ~EnvGuard();
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

private:
    std::string m_name;
    std::string m_old;
    bool m_had = false;
};

// With a store that cannot be read, the event log goes to its default
// folder /var/log/tq: while the object lives the instance (TQ_INSTANCE) is
// one of the test's own, whose log file there is removed when it goes (and
// the folder, when the test made it).
class DefaultFolderLog {
public:
    DefaultFolderLog();
    ~DefaultFolderLog();
    DefaultFolderLog(const DefaultFolderLog&) = delete;
    DefaultFolderLog& operator=(const DefaultFolderLog&) = delete;
    std::string path() const;

private:
    std::string m_instance;
    EnvGuard m_focus;
    bool m_hadFolder = false;
};

// A connected AF_UNIX stream pair (close-on-exec); the ends still open are closed when it goes.
struct SocketPair {
    int ours = -1;
    int theirs = -1;
    SocketPair();
    ~SocketPair();
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;
    void closeOurs();
    void closeTheirs();
};

// Fills the sending side of `fd` (small send buffer) until a send would block.
void FillConnection(int fd);

// The processors this process may run on, as `nproc` prints them.
long ProcessorCount();

// The words of the line of `listing` (a `tqrcg list` output, a screen of
// `tqrcg top`) that starts with `group`; none when no line does.
std::vector<std::string> LineWords(const std::string& listing, const std::string& group);

// The line of `group` in a `tqrcg list` output, its columns joined by single
// blanks ("web 30% 1 30%"); empty when the group is not listed.  With
// `columns`, only the first that many (the columns every host shows; cgroup2
// adds the pressure columns).
std::string ListLine(const std::string& listing, const std::string& group, std::size_t columns = SIZE_MAX);

// ---- tests on the real cgroup hierarchy -------------------------------
//
// The "system" tests run on whichever hierarchy carries cpu here: a cgroup
// v1 cpu hierarchy, through the cgroup tools as the manager uses them; else
// the cgroup2 mount, where the groups of each test process live under a
// base of its own, "tqtest_<pid>_base" (the store key of the base names it).

// Root of the cgroup v1 cpu hierarchy.
constexpr const char kCpuRoot[] = "/sys/fs/cgroup/cpu";
// The cgroup2 mount.
constexpr const char kCgroup2Mount[] = "/sys/fs/cgroup";

// Whether the tests run on cgroup2 (no v1 cpu hierarchy, cgroup2 at the mount).
bool OnCgroup2();
// Where this test process's groups live: kCpuRoot on v1, the mount and the
// test's base on cgroup2.
std::string GroupsRoot();
// The folder of `group` (a name relative to the manager's root).
std::string GroupFolder(const std::string& group);
// The store line that sets the manager's cgroup2 base to the test's base,
// for the section [Base]; empty on v1.
std::string BaseLine();
// A store's text that holds only BaseLine(), in its section [Base].
std::string BaseSection();
// Makes the folder of `group` as the manager would: on cgroup2 the base
// first, with the cpu controller enabled for its children.  True when it
// was made.
bool MakeGroupFolder(const std::string& group);
// The cap of `group` as "<quota> <period>" in microseconds, "max <period>"
// when it has none, on either hierarchy (cpu.cfs_quota_us and
// cpu.cfs_period_us, or cpu.max).
std::string CapSetting(const std::string& group);
// Caps `group` at `quotaUs` of each 100 ms period, as the manager does.
void WriteCap(const std::string& group, long long quotaUs);
// The processes in `group` (cgroup.procs).
std::vector<pid_t> GroupProcesses(const std::string& group);

// Empty when root and a hierarchy with cpu are here (a cgroup v1 cpu
// hierarchy with the cgroup tools, or the cgroup2 mount offering cpu); else
// the reason.
std::string SystemTestBlocker();

// Skips the test loudly, or fails it when TQ_REQUIRE_SYSTEM_TESTS=1 (as
// under CI), when the real hierarchy cannot be used.
#define TQ_REQUIRE_SYSTEM()                                                              \
    do {                                                                                 \
        std::string tq_blocker_ = ::tqtest::SystemTestBlocker();                         \
        if (!tq_blocker_.empty()) {                                                      \
            if (::tqtest::SystemTestsRequired()) {                                       \
                FAIL() << "system test cannot run: " << tq_blocker_;                     \
            }                                                                            \
            GTEST_SKIP() << "SKIPPED (needs root and the cpu controller): " << tq_blocker_; \
        }                                                                                \
    } while (0)
bool SystemTestsRequired();

// A group name owned by this test process: "tqtest_<pid>_<suffix>".
std::string OwnedGroupName(const std::string& suffix);

// Removes the named groups of the cpu hierarchy on construction (leftovers of
// an earlier run) and on destruction, after moving any task still inside to
// the root group (the tasks are this test's own children).  On cgroup2 it
// then removes the test's base, with its dummy group, once they are empty.
class GroupCleanup {
public:
    explicit GroupCleanup(std::vector<std::string> groups);
    ~GroupCleanup();
    void add(const std::string& group);
    static void removeGroup(const std::string& group);
    // On cgroup2: the test's base and its dummy group, when empty.
    static void removeBase();

private:
    std::vector<std::string> m_groups;
};

// A child process that spins on the CPU until the object goes.
class BusyChild {
public:
    BusyChild();
    ~BusyChild();
    BusyChild(const BusyChild&) = delete;
    BusyChild& operator=(const BusyChild&) = delete;
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid;
};

// `count` busy children (at least two, and one per processor when `count`
// is 0: uncapped they would take the whole machine), killed when it goes.
class BusyLoops {
public:
    explicit BusyLoops(long count = 0);
    BusyLoops(const BusyLoops&) = delete;
    BusyLoops& operator=(const BusyLoops&) = delete;
    // Their process ids, as the client functions take them.
    std::list<unsigned int> pids() const;
    std::size_t size() const { return m_loops.size(); }

private:
    std::vector<std::unique_ptr<BusyChild>> m_loops;
};

// A child process that sleeps until the object goes.
class SleepingChild {
public:
    SleepingChild();
    ~SleepingChild();
    SleepingChild(const SleepingChild&) = delete;
    SleepingChild& operator=(const SleepingChild&) = delete;
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid;
};

// CPU time (user + system) of a process in seconds, from /proc/<pid>/stat.
double ProcessCpuSeconds(pid_t pid);
// Percent of the whole machine (all processors) that `pid` used over
// `seconds` of wall time.
double MeasureCpuPercentOfMachine(pid_t pid, double seconds);
// The periods in which the kernel throttled the group in `folder` (the
// nr_throttled of its cpu.stat, on either hierarchy); -1 when unreadable.
long long ThrottledPeriods(const std::string& folder);
// Waits up to `seconds` for the group in `folder` to be throttled in more
// than `before` periods: a cap shows by its throttling count growing.
bool ThrottlingGrows(const std::string& folder, long long before, double seconds = 60);
// The group of `pid` relative to the manager's root, such as "/tqtest_12_a":
// the cpu line of /proc/<pid>/cgroup on v1, its cgroup2 line without the
// test's base on cgroup2.
std::string CpuCgroupOf(pid_t pid);

}  // namespace tqtest
