// tqrcg_bench: the end-to-end time of each request type of the client
// functions against a running tqd, next to the floor: the same command lines
// that tqd runs for that request, run back to back by one shell, and the
// same lines run with one shell each (as tqd's runner starts them).
//
//   tqrcg_bench --free-port        prints a free loopback TCP port
//   tqrcg_bench [--seconds N]      measures for about N seconds (default 60)
//   tqrcg_bench --v2 [--seconds N] measures on a cgroup v2 host instead (see
//                                  TqrcgBenchV2.h)
//   tqrcg_bench --history HISTORY_STORE EMPTY_STORE [--seconds N]
//                                  create + delete against a store with a
//                                  long group list beside one with an empty
//                                  list (see TqrcgBenchHistory.h)
//
// The store named by TQ_CONFIG must point the client functions at the tqd
// to measure.  The bench owns the group tqbench_<pid> and one child process
// of its own, which it moves between that group and tqrcgmgrdummy; it
// removes the group, ends the child, and removes tqrcgmgrdummy when it was
// not there before, on every path (also on SIGINT and SIGTERM).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <list>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "TqrcgBenchHistory.h"
#include "TqrcgBenchV2.h"
#include "common/TqRcgDefs.h"
#include "include/tqrcgmgr/tqrcgmgr.h"
#include "rcg/CgroupFs.h"
#include "rcg/RcgCommandLines.h"
#include "rcg/RcgHierarchy.h"
#include "rcg/RcgQuota.h"

extern char** environ;

namespace {

using tqbench::Clock;
using tqbench::Median;
using tqbench::Milliseconds;
using tqbench::SleepingChild;
using tqbench::StopRequested;
using tqbench::TimeClientCall;

const char* const kDummyGroup = k_TQRCGMGR_DummyGroup;

// The cpu hierarchy's mount point, from /proc/self/mounts.
std::string CpuMountPoint() {
    std::string mounts;
    TqRcgCtrllr::detail::InstalledCgroupFs().readFile("/proc/self/mounts", &mounts);
    return TqRcgCtrllr::ParseCgroupMounts(mounts).cpuV1;
}

bool GroupExists(const std::string& root, const std::string& group) {
    struct stat st;
    return !root.empty() && stat((root + "/" + group).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Runs one shell command line the way the daemon's runner does (/bin/sh -c,
// standard input from /dev/null, the runner's environment), its output
// discarded; returns the exit status, or -1.
int RunShell(const std::string& line) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const char* argv[] = {"sh", "-c", line.c_str(), nullptr};
    const char* envp[] = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C", nullptr};
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char* const*>(argv),
                                   const_cast<char* const*>(envp));
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

long ProcessorCount() {
    FILE* pipe = popen("nproc", "r");
    if (!pipe) return 0;
    long count = 0;
    if (fscanf(pipe, "%ld", &count) != 1) count = 0;
    pclose(pipe);
    return count;
}

// Removes what the bench made, whatever way it ends.  Declared before the
// child, so it runs after the child is gone and the groups are empty.
class Cleanup {
public:
    Cleanup(std::string root, std::string group)
        : m_root(std::move(root)), m_group(std::move(group)), m_dummyExisted(GroupExists(m_root, kDummyGroup)) {}
    ~Cleanup() {
        if (GroupExists(m_root, m_group)) RunShell("cgdelete -g cpu:/" + m_group);
        if (!m_dummyExisted && GroupExists(m_root, kDummyGroup)) RunShell(std::string("cgdelete -g cpu:/") + kDummyGroup);
    }
    Cleanup(const Cleanup&) = delete;
    Cleanup& operator=(const Cleanup&) = delete;

private:
    std::string m_root;
    std::string m_group;
    bool m_dummyExisted;
};

struct RequestType {
    std::string name;
    std::function<CQiError()> client;
    std::vector<std::string> lines;  // the command lines tqd runs for this request
    std::vector<double> clientMs;
    std::vector<double> floorMs;     // all lines in one shell
    std::vector<double> eachMs;      // one shell per line, for comparison

    std::string floor() const {
        std::string joined;
        for (const auto& line : lines) joined += (joined.empty() ? "" : "; ") + line;
        return joined;
    }
};

// Whether this host and the daemon can be measured with `group`; says why
// not.
bool ReadyToMeasure(const std::string& root, const std::string& group) {
    if (root.empty()) {
        fprintf(stderr, "tqrcg_bench: no cgroup v1 hierarchy with the cpu controller is mounted\n");
        return false;
    }
    if (!tqbench::WaitForDaemon(10)) {
        fprintf(stderr, "tqrcg_bench: tqd does not answer on the port of the store %s\n",
                getenv("TQ_CONFIG") ? getenv("TQ_CONFIG") : "(default)");
        return false;
    }
    if (GroupExists(root, group)) {
        fprintf(stderr, "tqrcg_bench: the group %s exists already\n", group.c_str());
        return false;
    }
    return true;
}

// In the order of one round: each request leaves the state the next needs,
// and the round ends as it began (no group, the child outside it).
std::vector<RequestType> RequestTypes(const std::string& group, pid_t child, long processors) {
    using namespace TqRcgCtrllr::detail;
    const std::list<unsigned int> pids{static_cast<unsigned int>(child)};
    const unsigned int percent = 50;
    const RcgName name = SplitRcgName(group);
    const RcgName dummy = SplitRcgName(kDummyGroup);
    const std::string lookup = LookupListingCommand(name);
    const std::string status = kCgconfigStatusCommand;
    const std::string quota = QuotaCommand(TqRcgCtrllr::ComputeCpuQuota(percent, static_cast<int>(processors)), group);
    return {
        {"create-new", [group] { return createRcgGroup(group); },
         {status, lookup, status, CreateCommand(name.cgroupSpec)}, {}, {}, {}},
        {"create-existing", [group] { return createRcgGroup(group); }, {status, lookup}, {}, {}, {}},
        {"set-share", [group, percent] { return setRcgCPUShare(group, percent); },
         {status, lookup, kProcessorCountCommand, PeriodCommand(TqRcgCtrllr::kCfsPeriodUs, group), quota}, {}, {},
         {}},
        {"assign", [group, pids] { return assignPidsTo(group, pids); },
         {status, lookup, ClassifyCommand(name.cgroupSpec, pids)}, {}, {}, {}},
        {"remove", [group, pids] { return removePidsFrom(group, pids); },
         {status, lookup, status, LookupListingCommand(dummy), ClassifyCommand(dummy.cgroupSpec, pids)}, {}, {}, {}},
        {"delete", [group] { return deleteRcgGroup(group); },
         {DeletionListingCommand(name), UndoCreationCommand(name)}, {}, {}, {}},
    };
}

// One timed run of `type` one `way` (0 the client function, 1 its lines in
// one shell, 2 one shell per line), counted after the first round.  False
// after a failure.
bool MeasureOnce(RequestType& type, int way, int round) {
    if (way == 0) return TimeClientCall(type.name, type.client, round, &type.clientMs);
    const auto begin = Clock::now();
    if (way == 1) {
        const int exitStatus = RunShell(type.floor());
        const double ms = Milliseconds(begin);
        if (exitStatus != 0) {
            fprintf(stderr, "tqrcg_bench: floor of %s failed (status %d): %s\n", type.name.c_str(),
                    exitStatus, type.floor().c_str());
            return false;
        }
        if (round > 0) type.floorMs.push_back(ms);
    } else {
        // The last line's status decides, as in the one-shell run.
        int exitStatus = 0;
        for (const auto& line : type.lines) exitStatus = RunShell(line);
        const double ms = Milliseconds(begin);
        if (exitStatus != 0) {
            fprintf(stderr, "tqrcg_bench: lines of %s failed (status %d)\n", type.name.c_str(), exitStatus);
            return false;
        }
        if (round > 0) type.eachMs.push_back(ms);
    }
    return true;
}

// Rounds of every request every way until `seconds` have passed (at least
// two counted rounds) or a stop is requested.  The first round makes
// tqrcgmgrdummy when needed and warms all paths; it is not counted.  False
// after a failure; *rounds counts the counted rounds.
bool MeasureRounds(std::vector<RequestType>& types, double seconds, Clock::time_point start, int* rounds) {
    for (int round = 0; !StopRequested(); ++round) {
        if (round > 1 && std::chrono::duration<double>(Clock::now() - start).count() >= seconds) break;
        // Rotate which of the three goes first, so that drift hits all alike.
        for (int part = 0; part < 3 && !StopRequested(); ++part) {
            const int way = (part + round) % 3;
            for (auto& type : types) {
                if (StopRequested()) break;
                if (!MeasureOnce(type, way, round)) return false;
            }
        }
        if (round > 0) ++*rounds;
    }
    return true;
}

void PrintReport(const std::vector<RequestType>& types, int rounds, double elapsed, long processors,
                 const std::string& group) {
    printf("tqrcg_bench: %d rounds in %.0f s, %ld processors, group %s\n", rounds, elapsed, processors,
           group.c_str());
    printf("median end-to-end times; floor: the request's command lines in one shell;\n"
           "per-line: the same lines, one shell each (tqd starts plain programs without a shell)\n");
    printf("%-16s %10s %10s %7s %10s %7s\n", "request", "client ms", "floor ms", "ratio", "per-line", "ratio");
    bool allWithinTarget = true;
    for (const auto& type : types) {
        const double client = Median(type.clientMs);
        const double floor = Median(type.floorMs);
        const double each = Median(type.eachMs);
        const double ratio = floor > 0 ? client / floor : 0;
        allWithinTarget = allWithinTarget && ratio <= 1.10;
        printf("%-16s %10.2f %10.2f %7.3f %10.2f %7.3f\n", type.name.c_str(), client, floor, ratio, each,
               each > 0 ? client / each : 0);
    }
    printf("floor lines (one shell each request):\n");
    for (const auto& type : types) printf("  %-16s %s\n", type.name.c_str(), type.floor().c_str());
    printf("target client/floor <= 1.10: %s\n", allWithinTarget ? "met" : "NOT met");
}

int Measure(double seconds) {
    const std::string root = CpuMountPoint();
    const std::string group = "tqbench_" + std::to_string(getpid());
    if (!ReadyToMeasure(root, group)) return 1;
    const long processors = ProcessorCount();
    Cleanup cleanup(root, group);
    SleepingChild child;
    if (child.pid() < 0) return 1;
    std::vector<RequestType> types = RequestTypes(group, child.pid(), processors);

    const auto start = Clock::now();
    int rounds = 0;
    if (!MeasureRounds(types, seconds, start, &rounds)) return 1;
    if (StopRequested()) {
        fprintf(stderr, "tqrcg_bench: stopped\n");
        return 1;
    }
    PrintReport(types, rounds, std::chrono::duration<double>(Clock::now() - start).count(), processors, group);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 60;
    bool v2 = false;
    std::string historyStore, emptyStore;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--history" && i + 2 < argc) {
            historyStore = argv[++i];
            emptyStore = argv[++i];
            continue;
        }
        if (arg == "--v2") {
            v2 = true;
            continue;
        }
        if (arg == "--free-port") {
            const int port = tqbench::FreeLoopbackPort();
            if (port < 0) return 1;
            printf("%d\n", port);
            return 0;
        }
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = atof(argv[++i]);
            if (seconds <= 0) seconds = 1;
            continue;
        }
        fprintf(stderr, "usage: tqrcg_bench [--v2 | --history HISTORY_STORE EMPTY_STORE] [--seconds N] | --free-port\n");
        return 2;
    }
    tqbench::InstallStopHandlers();
    if (!historyStore.empty()) return tqbench::MeasureHistory(historyStore, emptyStore, seconds);
    return v2 ? tqbench::MeasureV2(seconds) : Measure(seconds);
}
