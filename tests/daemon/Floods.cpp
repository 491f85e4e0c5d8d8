#include "tests/daemon/Floods.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "tests/support/TqdHarness.h"

namespace tqdtest {

namespace {

typedef std::chrono::steady_clock Clock;

bool BecomeUser(uid_t uid, std::size_t descriptors) {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < descriptors) {
        limit.rlim_cur = descriptors;
        const rlim_t hard = limit.rlim_max;
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < descriptors) limit.rlim_max = descriptors;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            // A container may keep root from raising the hard limit: the
            // margin above what the attack holds is then all it loses.
            limit.rlim_cur = limit.rlim_max = hard;
            if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
        }
    }
    return setgroups(0, nullptr) == 0 && setgid(uid) == 0 && setuid(uid) == 0;
}

// Reads exactly `size` bytes within `seconds`, or what came until the end.
std::string ReadWithin(int fd, std::size_t size, int seconds) {
    std::string bytes;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
    while (bytes.size() < size) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(left)) <= 0) continue;
        char buffer[256];
        const ssize_t count = read(fd, buffer, std::min(sizeof(buffer), size - bytes.size()));
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        bytes.append(buffer, static_cast<std::size_t>(count));
    }
    return bytes;
}

void WriteAll(int fd, const void* data, std::size_t size) {
    if (write(fd, data, size) != static_cast<ssize_t>(size)) _exit(5);
}

// Closes what the child inherited besides its two pipe ends (the ends of
// the other attackers' pipes, above all: held here, they would keep those
// attackers from seeing their stop).
void CloseInherited(int control, int report) {
    std::vector<int> inherited;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(dir)) {
            const int fd = std::atoi(entry->d_name);
            if (fd > STDERR_FILENO && fd != control && fd != report && fd != dirfd(dir)) inherited.push_back(fd);
        }
        closedir(dir);
    }
    for (int fd : inherited) close(fd);
}

bool Stopped(int control) {
    pollfd entry{control, POLLIN, 0};
    return poll(&entry, 1, 0) > 0;
}

// ---- the connection flood ----------------------------------------------------

struct Slot {
    int fd = -1;
    bool connecting = false;
    std::size_t received = 0;
    Clock::time_point opened;
};

class FloodLoop {
public:
    FloodLoop(const ConnectionFlood::Options& options) : m_options(options), m_slots(options.count) {}

    void run(int control, int report) {
        for (Slot& slot : m_slots) open(slot);
        const char ready = 'r';
        WriteAll(report, &ready, 1);
        std::vector<pollfd> entries;
        for (;;) {
            entries.assign(1, pollfd{control, POLLIN, 0});
            for (const Slot& slot : m_slots) {
                entries.push_back(pollfd{slot.fd, static_cast<short>(slot.connecting ? POLLOUT : POLLIN), 0});
            }
            if (poll(entries.data(), entries.size(), 100) < 0 && errno != EINTR) break;
            if (entries[0].revents != 0) break;
            const Clock::time_point now = Clock::now();
            for (std::size_t index = 0; index < m_slots.size(); ++index) {
                step(m_slots[index], entries[index + 1].revents, now);
            }
        }
        for (const Slot& slot : m_slots) m_figures.held += slot.fd >= 0 ? 1 : 0;
        WriteAll(report, &m_figures, sizeof(m_figures));
    }

private:
    void open(Slot& slot) {
        if (slot.fd >= 0) close(slot.fd);
        slot = Slot();
        slot.opened = Clock::now();
        slot.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (slot.fd < 0) return;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(m_options.port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int done = connect(slot.fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        if (done != 0 && errno != EINPROGRESS) {
            close(slot.fd);
            slot.fd = -1;
            return;
        }
        slot.connecting = true;
        ++m_figures.opened;
    }

    // The connect has finished: reset it, send the frame, or stay silent.
    void connected(Slot& slot) {
        int error = 0;
        socklen_t length = sizeof(error);
        getsockopt(slot.fd, SOL_SOCKET, SO_ERROR, &error, &length);
        slot.connecting = false;
        if (error != 0) return open(slot);
        if (m_options.reset) {
            const linger abort{1, 0};
            setsockopt(slot.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
            return open(slot);
        }
        const std::vector<unsigned char>& frame = m_options.frame;
        if (!frame.empty()) send(slot.fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }

    // What tqd sent; at the end of the connection a new one.
    void arrived(Slot& slot) {
        char buffer[2048];
        const ssize_t count = recv(slot.fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (count > 0) {
            slot.received += static_cast<std::size_t>(count);
            return;
        }
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
        if (slot.received >= 1024) {
            ++m_figures.answered;
        } else {
            ++m_figures.closedByServer;
        }
        open(slot);
    }

    void step(Slot& slot, short events, Clock::time_point now) {
        if (slot.fd < 0) return open(slot);
        if (events != 0) return slot.connecting ? connected(slot) : arrived(slot);
        const int refresh = m_options.refreshSeconds;
        if (refresh > 0 && now - slot.opened >= std::chrono::seconds(refresh)) open(slot);
    }

    ConnectionFlood::Options m_options;
    std::vector<Slot> m_slots;
    ConnectionFlood::Figures m_figures;
};

}  // namespace

// ---- the child --------------------------------------------------------------

AttackChild::AttackChild(uid_t uid, std::size_t descriptors, const Body& body) {
    int control[2], report[2];
    if (pipe2(control, O_CLOEXEC) != 0) return;
    if (pipe2(report, O_CLOEXEC) != 0) {
        close(control[0]);
        close(control[1]);
        return;
    }
    m_pid = fork();
    if (m_pid == 0) {
        CloseInherited(control[0], report[1]);
        if (!BecomeUser(uid, descriptors + 64)) _exit(3);
        body(control[0], report[1]);
        _exit(0);
    }
    close(control[0]);
    close(report[1]);
    m_control = control[1];
    m_report = report[0];
    m_ready = m_pid > 0 && ReadWithin(m_report, 1, 30) == "r";
}

AttackChild::~AttackChild() { stop(); }

std::string AttackChild::stop() {
    if (m_control >= 0) close(m_control);
    m_control = -1;
    if (m_report >= 0) {
        if (m_ready) m_said = ReadWithin(m_report, 4096, 30);
        close(m_report);
    }
    m_report = -1;
    if (m_pid <= 0) return m_said;
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
    return m_said;
}

ConnectionFlood::ConnectionFlood(const Options& options)
    : m_child(options.uid, static_cast<std::size_t>(options.count),
              [options](int control, int report) { FloodLoop(options).run(control, report); }) {}

ConnectionFlood::Figures ConnectionFlood::stop() {
    const std::string said = m_child.stop();
    Figures figures;
    if (said.size() == sizeof(figures)) std::memcpy(&figures, said.data(), sizeof(figures));
    return figures;
}

DescriptorHogs::DescriptorHogs(uid_t uid, int processes, int descriptors) {
    for (int index = 0; index < processes; ++index) {
        m_children.emplace_back(new AttackChild(
            uid, static_cast<std::size_t>(descriptors), [descriptors](int control, int report) {
                const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
                for (int held = 1; held < descriptors && null >= 0; ++held) {
                    if (fcntl(null, F_DUPFD_CLOEXEC, 0) < 0) _exit(6);
                }
                const char ready = 'r';
                WriteAll(report, &ready, 1);
                pollfd entry{control, POLLIN, 0};
                while (poll(&entry, 1, -1) < 0 && errno == EINTR) {
                }
            }));
    }
}

bool DescriptorHogs::started() const {
    for (const auto& child : m_children) {
        if (!child->started()) return false;
    }
    return true;
}

void DescriptorHogs::stop() {
    for (auto& child : m_children) child->stop();
}

RequestThreads::RequestThreads(uid_t uid, std::uint16_t port, int threads, const Requests& requests)
    : m_child(uid, static_cast<std::size_t>(threads) * 4, [=](int control, int report) {
          std::atomic<bool> stop{false};
          std::atomic<long> sent{0}, succeeded{0};
          std::vector<std::thread> workers;
          for (int thread = 0; thread < threads; ++thread) {
              workers.emplace_back([&, thread] {
                  for (long round = 0; !stop; ++round) {
                      for (const auto& frame : requests(thread, round)) {
                          ++sent;
                          if (TextOf(Ask(port, frame, 30)) == "Success") ++succeeded;
                      }
                  }
              });
          }
          const char ready = 'r';
          WriteAll(report, &ready, 1);
          while (!Stopped(control)) std::this_thread::sleep_for(std::chrono::milliseconds(50));
          stop = true;
          for (auto& worker : workers) worker.join();
          Figures figures;
          figures.sent = sent;
          figures.succeeded = succeeded;
          WriteAll(report, &figures, sizeof(figures));
      }) {}

RequestThreads::Figures RequestThreads::stop() {
    const std::string said = m_child.stop();
    Figures figures;
    if (said.size() == sizeof(figures)) std::memcpy(&figures, said.data(), sizeof(figures));
    return figures;
}

}  // namespace tqdtest
