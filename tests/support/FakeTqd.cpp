#include "tests/support/FakeTqd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

#include "tests/support/TestSupport.h"

namespace tqtest {
namespace {

constexpr std::size_t kReplySize = 1024;

int BoundLoopbackSocket(int port, int* boundPort) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    socklen_t size = sizeof(address);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        close(fd);
        return -1;
    }
    *boundPort = ntohs(address.sin_port);
    return fd;
}

bool WaitReadable(int fd, const std::atomic<bool>& stop, int milliseconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!stop && std::chrono::steady_clock::now() < deadline) {
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, 50) > 0) return true;
    }
    return false;
}

void SendAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return;
        done += static_cast<std::size_t>(count);
    }
}

}  // namespace

FakeTqd::FakeTqd(std::vector<Answer> answers) : m_answers(answers.begin(), answers.end()) {
    m_listenFd = BoundLoopbackSocket(0, &m_port);
    if (m_listenFd < 0 || listen(m_listenFd, 16) != 0) throw std::runtime_error("fake tqd cannot listen");
    m_thread = std::thread([this] { serve(); });
}

FakeTqd::~FakeTqd() {
    m_stop = true;
    m_thread.join();
    close(m_listenFd);
}

std::vector<std::string> FakeTqd::frames() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frames;
}

void FakeTqd::serve() {
    while (!m_stop) {
        if (!WaitReadable(m_listenFd, m_stop, 100)) continue;
        const int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        answer(fd);
        close(fd);
    }
}

void FakeTqd::answer(int fd) {
    // The frame: everything up to the client's end of sending.
    std::string frame;
    char buffer[512];
    while (WaitReadable(fd, m_stop, 20000)) {
        const ssize_t count = recv(fd, buffer, sizeof(buffer), 0);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        frame.append(buffer, static_cast<std::size_t>(count));
    }
    Answer reply{Answer::Text, "Success"};
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_frames.push_back(frame);
        if (!m_answers.empty()) {
            reply = m_answers.front();
            m_answers.pop_front();
        }
    }
    switch (reply.kind) {
        case Answer::Text: {
            std::string bytes = reply.bytes;
            bytes.resize(kReplySize, '\0');
            SendAll(fd, bytes);
            break;
        }
        case Answer::Raw:
            SendAll(fd, reply.bytes);
            break;
        case Answer::CloseAtOnce:
            break;
        case Answer::Silent:
            while (!m_stop) usleep(20000);
            break;
    }
}

RefusedPort::RefusedPort(int port) { m_fd = BoundLoopbackSocket(port, &m_port); }

RefusedPort::~RefusedPort() {
    if (m_fd >= 0) close(m_fd);
}

std::string StoreForPort(int port, const std::string& more) {
    // A tqd started on this store writes no metrics file.
    return BaseSection() + "[Session]\nnTQDPORT=" + std::to_string(port) + "\nsTQDHOST=127.0.0.1\nsTQDMETRICSDIR=\n" + more;
}

}  // namespace tqtest
