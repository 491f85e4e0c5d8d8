#include "TqrcgBenchV2.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <list>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "host/TQPlatformInfo.h"
#include "host/TqFwClient.h"
#include "host/UniqueFd.h"
#include "service/TqRcgProtocol.h"
#include "include/tqrcgmgr/tqrcgmgr.h"
#include "rcg/CgroupFs.h"
#include "rcg/RcgHierarchy.h"
#include "rcg/RcgQuota.h"

namespace tqbench {

namespace {

const char kDummyGroup[] = "tqrcgmgrdummy";
const char kUnsupportedReply[] = "[Win32 error 1630] ";
constexpr double kTargetRatio = 2.0;

bool IsFolder(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The mount point of the first filesystem of `type` whose options hold
// `option` (any option when empty), from /proc/self/mounts.
std::string MountOf(const std::string& wantedType, const std::string& wantedOption) {
    std::ifstream mounts("/proc/self/mounts");
    std::string device, mountPoint, type, options, rest;
    while (mounts >> device >> mountPoint >> type >> options && std::getline(mounts, rest)) {
        if (type != wantedType) continue;
        if (wantedOption.empty()) return mountPoint;
        std::istringstream list(options);
        std::string option;
        while (std::getline(list, option, ',')) {
            if (option == wantedOption) return mountPoint;
        }
    }
    return "";
}

bool ListsCpu(const std::string& controllersFile) {
    std::ifstream in(controllersFile);
    std::string word;
    while (in >> word) {
        if (word == "cpu") return true;
    }
    return false;
}

// The folder that holds the groups on this host; empty with a reason in
// *problem when the host cannot serve the v2 path.
std::string BaseFolder(std::string* problem) {
    if (!MountOf("cgroup", "cpu").empty()) {
        *problem = "a cgroup v1 hierarchy carries the cpu controller here: run without --v2";
        return "";
    }
    const std::string mount = MountOf("cgroup2", "");
    if (mount.empty() || !ListsCpu(mount + "/cgroup.controllers")) {
        *problem = "no cgroup2 mount whose root lists the cpu controller";
        return "";
    }
    TQPlatformInfo store;
    store.setFocus(TQPI_Focus::getFocus());
    std::string base;
    if (store.getString("Base", "sTQRCGMGRCGROUP2BASE", base) == 0 || base.empty()) base = "tqrcg";
    return mount + "/" + base;
}

// rmdir, retried while the kernel still counts an ended child.
void RemoveFolder(const std::string& path) {
    for (int attempt = 0; attempt < 100 && rmdir(path.c_str()) != 0 && errno == EBUSY; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Removes what the bench made, whatever way it ends.  Declared before the
// child, so it runs after the child is gone and the groups are empty.
class V2Cleanup {
public:
    V2Cleanup(std::string base, std::string group)
        : m_base(std::move(base)),
          m_group(std::move(group)),
          m_baseExisted(IsFolder(m_base)),
          m_dummyExisted(IsFolder(m_base + "/" + kDummyGroup)) {}
    ~V2Cleanup() {
        if (IsFolder(m_base + "/" + m_group)) RemoveFolder(m_base + "/" + m_group);
        if (!m_dummyExisted && IsFolder(m_base + "/" + kDummyGroup)) RemoveFolder(m_base + "/" + kDummyGroup);
        if (!m_baseExisted && IsFolder(m_base)) rmdir(m_base.c_str());  // only when empty
    }
    V2Cleanup(const V2Cleanup&) = delete;
    V2Cleanup& operator=(const V2Cleanup&) = delete;

private:
    std::string m_base;
    std::string m_group;
    bool m_baseExisted;
    bool m_dummyExisted;
};

// A request that only travels: an unsupported message type, sent and
// answered as the client functions do, over a new connection each time.
class TravelRequest {
public:
    TravelRequest() : m_daemon(ConfiguredDaemon()) {
        const TqRcgFrame frame = EncodeRcgFrame(MakeRcgMsg(static_cast<RcgMsgType>(5), "tqbench_travel"));
        m_frame.assign(frame.begin(), frame.end());
    }
    // True when tqd answered that the type is not supported.
    bool ask() const {
        TqFwClient client;
        CQiSocket socket = client.connect(m_daemon.host, m_daemon.port, m_daemon.port, -1, -1, nullptr, nullptr, false);
        if (!socket.IsValid()) return false;
        int timedOut = 0;
        bool ok = !socket.SendWithTimeOut(m_frame.data(), m_frame.size(), 15, &timedOut, 0, nullptr).IsError() &&
                  timedOut == 0 && !socket.Shutdown(1).IsError();
        char reply[k_TqRcgMgrCQiErrorSize] = {};
        ok = ok && !socket.RecvWithTimeout(reply, sizeof(reply), 15, &timedOut, 0, nullptr).IsError();
        socket.Close();
        return ok && std::strncmp(reply, kUnsupportedReply, std::strlen(kUnsupportedReply)) == 0;
    }

private:
    DaemonAddress m_daemon;
    std::vector<unsigned char> m_frame;
};

// Writes `text` to a control file as one write(2); false on failure.
bool WriteControl(const std::string& path, const std::string& text) {
    const UniqueFd fd(open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (!fd.open()) return false;
    return write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

struct RequestType {
    std::string name;
    std::function<CQiError()> client;
    // The request's filesystem step done by the bench itself, on a group of
    // its own: what the kernel alone takes.
    std::function<bool()> step;
    std::vector<double> clientMs;
    std::vector<double> travelMs;  // measured next to each client request
    std::vector<double> stepMs;
};

// One timed request of each kind next to each other; the order alternates
// with the round so that drift hits both alike.  False after a failure.
bool MeasurePair(RequestType& type, const TravelRequest& travel, int round) {
    for (int part = 0; part < 2; ++part) {
        const bool clientTurn = (part + round) % 2 == 0;
        if (clientTurn) {
            if (!TimeClientCall(type.name, type.client, round, &type.clientMs)) return false;
        } else {
            const auto begin = Clock::now();
            const bool answered = travel.ask();
            const double ms = Milliseconds(begin);
            if (!answered) {
                fprintf(stderr, "tqrcg_bench: the unsupported request got no unsupported-type reply\n");
                return false;
            }
            if (round > 0) type.travelMs.push_back(ms);
        }
    }
    return true;
}

// The filesystem step alone, after two requests that travel: a round of
// steps then takes about as long as a round of requests (each a travel and a
// client request that travels too), so that each step comes as long after
// the same step of the round before as its request does.  That matters for
// cgroup.procs: the first migration after an idle spell waits for an RCU
// grace period, one soon after another does not.  False after a failure.
bool MeasureStep(RequestType& type, const TravelRequest& travel, int round) {
    if (!travel.ask() || !travel.ask()) {
        fprintf(stderr, "tqrcg_bench: the unsupported request got no unsupported-type reply\n");
        return false;
    }
    const auto begin = Clock::now();
    const bool done = type.step();
    const double ms = Milliseconds(begin);
    if (!done) {
        fprintf(stderr, "tqrcg_bench: the filesystem step of %s failed: %s\n", type.name.c_str(), strerror(errno));
        return false;
    }
    if (round > 0) type.stepMs.push_back(ms);
    return true;
}

// The table; true when every ratio meets the target.
bool PrintTable(const std::vector<RequestType>& types) {
    printf("%-8s %10s %10s %7s %10s %13s\n", "request", "v2 ms", "travel ms", "ratio", "kernel ms",
           "ratio-kernel");
    bool met = true;
    for (const auto& type : types) {
        const double client = Median(type.clientMs);
        const double travel = Median(type.travelMs);
        const double ratio = travel > 0 ? client / travel : 0;
        met = met && travel > 0 && ratio <= kTargetRatio;
        const double kernel = Median(type.stepMs);
        printf("%-8s %10.3f %10.3f %7.2f %10.3f %13.2f\n", type.name.c_str(), client, travel, ratio, kernel,
               travel > 0 ? (client - kernel) / travel : 0);
    }
    printf("target v2/travel <= %.1f: %s\n", kTargetRatio, met ? "met" : "NOT met");
    return met;
}

// The folder of the groups when this host and the daemon can be measured
// with `group`; empty after saying why not.
std::string ReadyToMeasure(const std::string& group) {
    std::string problem;
    const std::string base = BaseFolder(&problem);
    if (base.empty()) {
        fprintf(stderr, "tqrcg_bench: %s\n", problem.c_str());
        return "";
    }
    if (!WaitForDaemon(10)) {
        fprintf(stderr, "tqrcg_bench: tqd does not answer on the port of the store %s\n",
                getenv("TQ_CONFIG") ? getenv("TQ_CONFIG") : "(default)");
        return "";
    }
    if (IsFolder(base + "/" + group)) {
        fprintf(stderr, "tqrcg_bench: the group %s exists already\n", group.c_str());
        return "";
    }
    return base;
}

// The processors the cgroup2 quota is computed for, counted as the manager
// counts them.
long OnlineProcessors() { return TqRcgCtrllr::detail::InstalledCgroupFs().onlineProcessors(); }

// In the order of one round: each request leaves the state the next needs,
// and the round ends as it began (no group, the child outside it).  The
// bench's own steps act on <group>_fs.
std::vector<RequestType> RequestTypes(const std::string& base, const std::string& group, pid_t child) {
    const std::list<unsigned int> pids{static_cast<unsigned int>(child)};
    const std::string pid = std::to_string(child);
    const std::string own = base + "/" + group + "_fs";
    const std::string quota =
        TqRcgCtrllr::detail::FormatCpuMax(TqRcgCtrllr::ComputeCpuQuota(50, static_cast<int>(OnlineProcessors())));
    return {
        {"create", [group] { return createRcgGroup(group); }, [own] { return mkdir(own.c_str(), 0755) == 0; }, {},
         {}, {}},
        {"cap", [group] { return setRcgCPUShare(group, 50); },
         [own, quota] { return WriteControl(own + "/cpu.max", quota); }, {}, {}, {}},
        {"assign", [group, pids] { return assignPidsTo(group, pids); },
         [own, pid] { return WriteControl(own + "/cgroup.procs", pid); }, {}, {}, {}},
        {"remove", [group, pids] { return removePidsFrom(group, pids); },
         [base, pid] { return WriteControl(base + "/" + kDummyGroup + "/cgroup.procs", pid); }, {}, {}, {}},
        {"delete", [group] { return deleteRcgGroup(group); }, [own] { return rmdir(own.c_str()) == 0; }, {}, {},
         {}},
    };
}

// Rounds of requests, each followed by a round of the bare steps (the first
// needs the dummy group that the requests made), until `seconds` have passed
// (at least two counted rounds) or a stop is requested.  The first round
// makes the base and the dummy group when needed and warms both paths; it is
// not counted.  False after a failure; *rounds counts the counted rounds.
bool MeasureRounds(std::vector<RequestType>& types, const TravelRequest& travel, double seconds,
                   Clock::time_point start, int* rounds) {
    for (int round = 0; !StopRequested(); ++round) {
        if (round > 2 && std::chrono::duration<double>(Clock::now() - start).count() >= seconds) break;
        for (auto& type : types) {
            if (StopRequested() || !MeasurePair(type, travel, round)) return false;
        }
        for (auto& type : types) {
            if (StopRequested() || !MeasureStep(type, travel, round)) return false;
        }
        if (round > 0) ++*rounds;
    }
    return true;
}

}  // namespace

int MeasureV2(double seconds) {
    const std::string group = "tqbench_" + std::to_string(getpid());
    const std::string base = ReadyToMeasure(group);
    if (base.empty()) return 1;
    V2Cleanup cleanup(base, group);
    V2Cleanup ownCleanup(base, group + "_fs");
    SleepingChild child;
    if (child.pid() < 0) return 1;
    std::vector<RequestType> types = RequestTypes(base, group, child.pid());
    const TravelRequest travel;

    const auto start = Clock::now();
    int rounds = 0;
    if (!MeasureRounds(types, travel, seconds, start, &rounds)) return 1;
    if (StopRequested()) {
        fprintf(stderr, "tqrcg_bench: stopped\n");
        return 1;
    }
    printf("tqrcg_bench --v2: %d rounds in %.1f s, %ld processors, group %s/%s\n", rounds,
           std::chrono::duration<double>(Clock::now() - start).count(), OnlineProcessors(), base.c_str(),
           group.c_str());
    printf("median end-to-end times; travel: a request of an unsupported type (connect, frame, reply);\n"
           "kernel: the request's filesystem step alone (mkdir, cpu.max, cgroup.procs, rmdir), done by the bench;\n"
           "ratio-kernel: (v2 - kernel) / travel, what the request costs beyond the kernel's own work\n");
    PrintTable(types);
    return 0;
}

}  // namespace tqbench
