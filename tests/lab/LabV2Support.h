// Helpers of the cgroup v2 system tests that run in the lab's guest: the
// host check, the group folders under the unified mount, guards that remove
// what a test made, the test's own child processes, a real tqd with its
// store, the tqrcg command, and the CPU use of a group.
//
// Every group a test makes is named "tqlab_<pid>_..." and removed by a guard
// also when the test fails; the only processes moved are the test's children.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/TestSupport.h"
#include "tests/support/TqdHarness.h"

namespace tqlab {

// Where the guest mounts the unified hierarchy.
constexpr const char kMount[] = "/sys/fs/cgroup";
// The base under the mount when the store names none.
constexpr const char kDefaultBase[] = "tqrcg";
constexpr const char kDummy[] = "tqrcgmgrdummy";

// Empty when this host can run the tests: root, cgroup2 at kMount whose root
// lists the cpu controller, no cgroup v1 hierarchy with cpu, and the built
// tqd and tqrcg in $TQ_BUILD_DIR.  Else the reason.
std::string V2HostProblem();

// Fails the test loudly off the lab's kind of host: these tests never skip.
#define LAB_REQUIRE_V2_HOST()                                                               \
    do {                                                                                    \
        const std::string lab_problem_ = ::tqlab::V2HostProblem();                          \
        if (!lab_problem_.empty()) {                                                        \
            FAIL() << "this test runs only on a cgroup v2 host with the cpu controller "    \
                      "(the lab's guest): "                                                 \
                   << lab_problem_;                                                         \
        }                                                                                   \
    } while (0)

// "tqlab_<pid>_<suffix>": a name this test process owns.
std::string OwnedName(const std::string& suffix);

// <mount>/<base>/<name>; a name carrying a "cpu:/" style prefix is taken
// without it.
std::string GroupFolder(const std::string& name, const std::string& base = kDefaultBase);
bool IsFolder(const std::string& path);
std::string Trimmed(std::string text);
// The first line of <folder>/<file>, without its line break.
std::string ControlValue(const std::string& folder, const std::string& file);
// What `cpu.max` holds after a cap of `percent` of the machine.
std::string CpuMaxFor(int percent);
long OnlineProcessors();

std::vector<pid_t> ProcessesIn(const std::string& folder);
bool Holds(const std::string& folder, pid_t pid);
// Whether the controller `name` is listed in <folder>/cgroup.subtree_control.
bool SubtreeEnables(const std::string& folder, const std::string& name);
// The cgroup v2 line of /proc/<pid>/cgroup without "0::", e.g. "/tqrcg/x".
std::string CgroupOf(pid_t pid);

// Removes the folders it is given (paths relative to the mount, child groups
// first, the test's own processes still inside moved to the root group) now,
// as leftovers of an earlier run, and again when it goes.  For the base, it
// removes what of it and of its dummy group did not exist when it was made.
class V2Cleanup {
public:
    explicit V2Cleanup(const std::string& base = kDefaultBase);
    ~V2Cleanup();
    V2Cleanup(const V2Cleanup&) = delete;
    V2Cleanup& operator=(const V2Cleanup&) = delete;
    // A group under the base.
    void group(const std::string& name);

private:
    std::string m_base;
    std::vector<std::string> m_created;  // relative paths made by the test, in order
    std::vector<std::string> m_groups;
};
void RemoveFolderTree(const std::string& path);

using tqtest::SleepingChild;

// A process id that names no process: a child that has ended and been reaped.
pid_t EndedPid();

struct Outcome {
    int status = -1;  // exit status as a shell shows it
    std::string out;
    std::string err;
};

// tqd on a free loopback port with a store of its own that points the client
// functions and tqrcg at it (TQ_CONFIG, while the object lives).
class LabTqd {
public:
    // `baseText`: more lines for the store's section [Base].
    explicit LabTqd(const std::string& baseText = "");
    std::uint16_t port() const { return m_tqd.port(); }
    std::string log() const { return m_tqd.log(); }
    // The names of [Base] sTQRCGMGRGROUPS, in order.
    std::vector<std::string> storedGroups() const;
    // Runs the built tqrcg with `args` to its end (killed after 60 s).
    Outcome tqrcg(const std::vector<std::string>& args);

private:
    tqdtest::TqdProcess m_tqd;
    int m_runs = 0;
};

// The CPU time that the processes of a group used, from cpu.stat usage_usec.
double UsageSeconds(const std::string& folder);
// Percent of the whole machine (wall time × online processors) that the
// group used over about `seconds`.
double GroupPercentOfMachine(const std::string& folder, double seconds);

}  // namespace tqlab
