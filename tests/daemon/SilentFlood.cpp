#include "tests/daemon/SilentFlood.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

namespace tqdtest {

namespace {

typedef std::chrono::steady_clock Clock;

struct Slot {
    int fd = -1;
    Clock::time_point opened;
};

// A connection to 127.0.0.1:`port` that never sends; -1 when none could be
// opened.  The connect may still be in progress.
int OpenSilent(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

// Whether the peer ended or broke the connection (it never sends us data).
bool ClosedByPeer(int fd) {
    char byte;
    const ssize_t count = recv(fd, &byte, 1, MSG_DONTWAIT);
    return count == 0 || (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

bool BecomeUser(uid_t uid, std::size_t descriptors) {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < descriptors) {
        limit.rlim_cur = descriptors;
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < descriptors) limit.rlim_max = descriptors;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    }
    return setgroups(0, nullptr) == 0 && setgid(uid) == 0 && setuid(uid) == 0;
}

void Reopen(Slot& slot, std::uint16_t port, Clock::time_point now, SilentFlood::Figures* figures) {
    if (slot.fd >= 0) close(slot.fd);
    slot.fd = OpenSilent(port);
    slot.opened = now;
    if (slot.fd >= 0) ++figures->opened;
}

[[noreturn]] void RunChild(uid_t uid, std::uint16_t port, int count, int refreshSeconds, int control,
                           int report) {
    if (!BecomeUser(uid, static_cast<std::size_t>(count) + 64)) _exit(3);
    SilentFlood::Figures figures;
    std::vector<Slot> slots(static_cast<std::size_t>(count));
    const Clock::duration refresh = std::chrono::seconds(refreshSeconds);
    Clock::time_point now = Clock::now();
    for (std::size_t index = 0; index < slots.size(); ++index) {
        Reopen(slots[index], port, now, &figures);
        // Spread the refreshes evenly over the period.
        slots[index].opened -= refresh * static_cast<long>(index) / static_cast<long>(slots.size());
    }
    const char ready = 'r';
    if (write(report, &ready, 1) != 1) _exit(4);
    std::vector<pollfd> entries;
    for (;;) {
        entries.assign(1, pollfd{control, POLLIN, 0});
        for (const Slot& slot : slots) entries.push_back(pollfd{slot.fd, POLLIN, 0});
        if (poll(entries.data(), entries.size(), 100) < 0 && errno != EINTR) break;
        if (entries[0].revents != 0) break;
        now = Clock::now();
        for (std::size_t index = 0; index < slots.size(); ++index) {
            Slot& slot = slots[index];
            if (slot.fd >= 0 && entries[index + 1].revents != 0 && ClosedByPeer(slot.fd)) {
                ++figures.closedByServer;
                Reopen(slot, port, now, &figures);
            } else if (slot.fd < 0 || now - slot.opened >= refresh) {
                Reopen(slot, port, now, &figures);
            }
        }
    }
    for (const Slot& slot : slots) figures.held += slot.fd >= 0 ? 1 : 0;
    if (write(report, &figures, sizeof(figures)) != static_cast<ssize_t>(sizeof(figures))) _exit(5);
    _exit(0);
}

// Reads exactly `size` bytes within `seconds`.
bool ReadWithin(int fd, void* data, std::size_t size, int seconds) {
    char* bytes = static_cast<char*>(data);
    std::size_t done = 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
    while (done < size) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(left)) <= 0) continue;
        const ssize_t count = read(fd, bytes + done, size - done);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return false;
        done += static_cast<std::size_t>(count);
    }
    return true;
}

}  // namespace

SilentFlood::SilentFlood(uid_t uid, std::uint16_t port, int count, int refreshSeconds) {
    int control[2], report[2];
    if (pipe2(control, O_CLOEXEC) != 0) return;
    if (pipe2(report, O_CLOEXEC) != 0) {
        close(control[0]);
        close(control[1]);
        return;
    }
    m_pid = fork();
    if (m_pid == 0) {
        close(control[1]);
        close(report[0]);
        RunChild(uid, port, count, refreshSeconds, control[0], report[1]);
    }
    close(control[0]);
    close(report[1]);
    m_control = control[1];
    m_report = report[0];
    char ready = 0;
    m_ready = m_pid > 0 && ReadWithin(m_report, &ready, 1, 10) && ready == 'r';
}

SilentFlood::~SilentFlood() { stop(); }

SilentFlood::Figures SilentFlood::stop() {
    if (m_control >= 0) close(m_control);
    m_control = -1;
    if (m_pid > 0 && !ReadWithin(m_report, &m_figures, sizeof(m_figures), 10)) m_figures = Figures();
    if (m_report >= 0) close(m_report);
    m_report = -1;
    if (m_pid <= 0) return m_figures;
    int status = 0;
    for (int tries = 0; waitpid(m_pid, &status, WNOHANG) == 0; ++tries) {
        if (tries == 500) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m_pid = -1;
    return m_figures;
}

}  // namespace tqdtest
