// tqd under the attacks of a local user, as root sees it: each scenario
// starts a tqd of its own (the one in $TQ_BUILD_DIR, so that two builds can
// be compared in one session), lets the attacker run, probes it as root
// every 50 ms and prints one line of figures.  Needs root; the attacker runs
// as nobody.  Not a test: the figures are for people to compare.
//
//   sudo TQ_BUILD_DIR=build build/tests/daemon/tqd_attack --seconds 20 frames hogs
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <functional>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "tests/daemon/Floods.h"
#include "tests/daemon/RootProbe.h"
#include "tests/support/TqdHarness.h"

namespace {

using namespace tqdtest;

const uid_t kNobody = 65534;

// A TcpExt counter of /proc/net/netstat (the whole host's).
long TcpExtCounter(const std::string& name) {
    std::ifstream in("/proc/net/netstat");
    std::string names, values;
    while (std::getline(in, names) && std::getline(in, values)) {
        if (names.compare(0, 7, "TcpExt:") != 0) continue;
        std::istringstream keys(names), numbers(values);
        std::string key, number;
        while (keys >> key && numbers >> number) {
            if (key == name) return std::stol(number);
        }
    }
    return -1;
}

long FileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : 0;
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// What runs against tqd while root probes it.
class Attack {
public:
    virtual ~Attack() = default;
    virtual bool started() const = 0;
    // Stops it; what it did, in words.
    virtual std::string stop() = 0;
};

class FloodAttack : public Attack {
public:
    FloodAttack(std::uint16_t port, int count, bool withFrames, bool reset) : m_flood(Options(port, count, withFrames, reset)) {}
    bool started() const override { return m_flood.started(); }
    std::string stop() override {
        const ConnectionFlood::Figures figures = m_flood.stop();
        return "flood opened " + std::to_string(figures.opened) + ", answered " +
               std::to_string(figures.answered) + ", closed without reply " +
               std::to_string(figures.closedByServer) + ", held " + std::to_string(figures.held);
    }

private:
    static ConnectionFlood::Options Options(std::uint16_t port, int count, bool withFrames, bool reset) {
        ConnectionFlood::Options options;
        options.uid = kNobody;
        options.port = port;
        options.count = count;
        options.reset = reset;
        if (withFrames) options.frame = HarmlessFrame();
        return options;
    }
    ConnectionFlood m_flood;
};

class HogsAttack : public Attack {
public:
    HogsAttack() : m_hogs(kNobody, 4, 19990) {}
    bool started() const override { return m_hogs.started(); }
    std::string stop() override {
        m_hogs.stop();
        return "4 processes with 19,990 descriptors";
    }

private:
    DescriptorHogs m_hogs;
};

// The groups of the allowed uid's threads, named after this process (the
// threads run in a child of it).
std::vector<std::string> FairGroups() {
    std::vector<std::string> groups;
    for (int thread = 0; thread < 32; ++thread) groups.push_back(tqtest::OwnedGroupName("fair" + std::to_string(thread)));
    return groups;
}

// An allowed uid creating and deleting groups of its own from 32 threads.
class CreatesAttack : public Attack {
public:
    explicit CreatesAttack(std::uint16_t port)
        : m_groups(FairGroups()), m_cleanup(m_groups), m_threads(kNobody, port, 32, [this](int thread, long) {
              const std::string& group = m_groups[static_cast<std::size_t>(thread)];
              return std::vector<std::vector<unsigned char>>{Frame(RcgMsgCreateGroup, group),
                                                             Frame(RcgMsgDeleteGroup, group)};
          }) {}
    bool started() const override { return m_threads.started(); }
    std::string stop() override {
        const RequestThreads::Figures figures = m_threads.stop();
        return "32 threads sent " + std::to_string(figures.sent) + " creates and deletes, " +
               std::to_string(figures.succeeded) + " succeeded";
    }

private:
    const std::vector<std::string> m_groups;
    // Removes what is left of the groups when the attack goes.
    tqtest::GroupCleanup m_cleanup;
    RequestThreads m_threads;
};

struct Scenario {
    std::string session;  // more store lines for [Session]
    std::function<std::vector<std::unique_ptr<Attack>>(std::uint16_t port)> attacks;
};

std::map<std::string, Scenario> Scenarios(int connections) {
    std::map<std::string, Scenario> all;
    all["none"] = {"", [](std::uint16_t) { return std::vector<std::unique_ptr<Attack>>(); }};
    all["frames"] = {"", [connections](std::uint16_t port) {
                         std::vector<std::unique_ptr<Attack>> attacks;
                         attacks.emplace_back(new FloodAttack(port, connections, true, false));
                         return attacks;
                     }};
    all["frames+hogs"] = {"", [connections](std::uint16_t port) {
                              std::vector<std::unique_ptr<Attack>> attacks;
                              attacks.emplace_back(new FloodAttack(port, connections, true, false));
                              attacks.emplace_back(new HogsAttack());
                              return attacks;
                          }};
    all["hogs"] = {"", [](std::uint16_t) {
                       std::vector<std::unique_ptr<Attack>> attacks;
                       attacks.emplace_back(new HogsAttack());
                       return attacks;
                   }};
    all["resets"] = {"", [connections](std::uint16_t port) {
                         std::vector<std::unique_ptr<Attack>> attacks;
                         attacks.emplace_back(new FloodAttack(port, connections, false, true));
                         return attacks;
                     }};
    all["creates"] = {"sTQDALLOWEDUIDS=65534\n", [](std::uint16_t port) {
                          std::vector<std::unique_ptr<Attack>> attacks;
                          attacks.emplace_back(new CreatesAttack(port));
                          return attacks;
                      }};
    return all;
}

void Run(const std::string& name, const Scenario& scenario, double seconds) {
    TqdProcess tqd(scenario.session, {}, "dTQDEBUGLEVEL=0\n", false);
    const std::string log = tqd.store().logPath();
    std::vector<std::unique_ptr<Attack>> attacks = scenario.attacks(tqd.port());
    for (const auto& attack : attacks) {
        if (!attack->started()) std::cerr << name << ": an attacker did not start\n";
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const long logBefore = FileSize(log);
    const long overflowsBefore = TcpExtCounter("ListenOverflows");
    const ProbeFigures probe = ProbeAsRoot(tqd.port(), seconds);
    const long logGrowth = FileSize(log) - logBefore;
    const long overflows = TcpExtCounter("ListenOverflows") - overflowsBefore;
    std::string what;
    for (const auto& attack : attacks) what += (what.empty() ? "" : "; ") + attack->stop();
    const std::string text = tqd.log();
    const int stopped = tqd.stop(20);
    std::printf("%-12s root %s | log +%.2f MB in %.0f s | ListenOverflows +%ld | queue-full lines %zu | %s | tqd exit %d\n",
                name.c_str(), probe.summary().c_str(), logGrowth / 1e6, seconds, overflows,
                Count(text, "waiting for a worker"), what.empty() ? "no attack" : what.c_str(), stopped);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Root's service by tqd ($TQ_BUILD_DIR/tqd) under a local user's attacks."};
    double seconds = 20;
    int connections = 3000;
    std::vector<std::string> names;
    app.add_option("--seconds", seconds, "How long root probes each scenario")->capture_default_str();
    app.add_option("--connections", connections, "Connections of the floods")->capture_default_str();
    app.add_option("scenarios", names, "none, frames, frames+hogs, hogs, resets, creates (default: all)");
    CLI11_PARSE(app, argc, argv);
    if (geteuid() != 0) {
        std::cerr << "tqd_attack: needs root, to run the attacker as nobody\n";
        return 2;
    }
    const std::map<std::string, Scenario> all = Scenarios(connections);
    if (names.empty()) names = {"none", "frames", "frames+hogs", "hogs", "resets", "creates"};
    for (const std::string& name : names) {
        const auto found = all.find(name);
        if (found == all.end()) {
            std::cerr << "tqd_attack: no scenario \"" << name << "\"\n";
            return 2;
        }
        Run(name, found->second, seconds);
    }
    return 0;
}
