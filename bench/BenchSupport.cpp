#include "BenchSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <thread>

#include "common/TqRcgDefs.h"
#include "host/TQPlatformInfo.h"
#include "host/TqFwClient.h"
#include "host/UniqueFd.h"
#include "host/TqdPort.h"

namespace tqbench {

namespace {

volatile sig_atomic_t g_stopRequested = 0;

void RequestStop(int) { g_stopRequested = 1; }

}  // namespace

void InstallStopHandlers() {
    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool StopRequested() { return g_stopRequested != 0; }

int FreeLoopbackPort() {
    const UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.open()) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &size) == 0) {
        return ntohs(address.sin_port);
    }
    return -1;
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double Milliseconds(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool TimeClientCall(const std::string& name, const std::function<CQiError()>& call, int round,
                    std::vector<double>* times) {
    const auto begin = Clock::now();
    const CQiError result = call();
    const double ms = Milliseconds(begin);
    if (result.IsError()) {
        fprintf(stderr, "tqrcg_bench: %s failed: %s\n", name.c_str(), result.AsString().c_str());
        return false;
    }
    if (round > 0) times->push_back(ms);
    return true;
}

DaemonAddress ConfiguredDaemon() {
    TQPlatformInfo store;
    store.setFocus(TQPI_Focus::getFocus());
    const std::uint64_t port = TqdClientPort(store);
    DaemonAddress address;
    const char* machine = store.getPhysicalMachine();
    store.getClientHostNameMangled(machine ? machine : "", address.host);
    address.port = static_cast<int>(port);
    return address;
}

bool WaitForDaemon(int seconds) {
    const DaemonAddress daemon = ConfiguredDaemon();
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < deadline && !StopRequested()) {
        TqFwClient client;
        CQiSocket socket = client.connect(daemon.host, daemon.port, daemon.port, 1, -1, nullptr, nullptr, false);
        if (socket.IsValid()) {
            socket.Close();
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

SleepingChild::SleepingChild() : m_pid(fork()) {
    if (m_pid == 0) {
        signal(SIGINT, SIG_IGN);  // ended by its parent only
        for (;;) pause();
    }
}

SleepingChild::~SleepingChild() {
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        while (waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

}  // namespace tqbench
