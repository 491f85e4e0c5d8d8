#include "tests/support/TqdHarness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "service/TqRcgProtocol.h"
#include "tests/support/TestSupport.h"

namespace tqdtest {

namespace {

typedef std::chrono::steady_clock Clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool CanBind(int family, std::uint16_t port) {
    const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return family == AF_INET6;  // no IPv6: nothing to clash with
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    bool free;
    if (family == AF_INET) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    } else {
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(port);
        address.sin6_addr = in6addr_loopback;
        free =
            bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 || errno == EADDRNOTAVAIL;
    }
    ::close(fd);
    return free;
}

// Waits for a child; the exit status, -2 for a signal, -1 on time-out.
int WaitChild(pid_t pid, double seconds) {
    const auto start = Clock::now();
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
        if (done < 0 && errno != EINTR) return -2;
        if (SecondsSince(start) > seconds) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& outPath, const std::string& errPath) {
    std::vector<std::string> argv = args;
    argv.insert(argv.begin(), TqdPath());
    const pid_t pid = fork();
    if (pid != 0) return pid;
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) dup2(out, STDOUT_FILENO);
    if (err >= 0) dup2(err, STDERR_FILENO);
    std::vector<char*> pointers;
    for (auto& arg : argv) pointers.push_back(&arg[0]);
    pointers.push_back(nullptr);
    execv(pointers[0], pointers.data());
    _exit(127);
}

}  // namespace

const char kUnsupportedReply[] = "[Win32 error 1630] The value of RcgMsgType is not supported.";

bool GroupExists(const std::string& group) {
    struct stat st;
    return stat(tqtest::GroupFolder(group).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string QuotaOf(const std::string& group) {
    const std::string cap = tqtest::CapSetting(group);
    return cap.substr(0, cap.find(' '));
}

std::string BuildDir() {
    const char* dir = getenv("TQ_BUILD_DIR");
    return dir && *dir ? dir : ".";
}

std::string TqdPath() { return BuildDir() + "/tqd"; }

std::uint16_t FreePort() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        ::close(fd);
        const std::uint16_t port = ntohs(address.sin_port);
        if (port != 0 && CanBind(AF_INET, port) && CanBind(AF_INET6, port)) return port;
    }
    throw std::runtime_error("no free port");
}

bool HaveIpv6Loopback() {
    const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return ok;
}

std::vector<unsigned char> Frame(RcgMsgType type, const std::string& name, std::uint32_t share,
                                 const std::vector<unsigned int>& pids) {
    TqRcgMsg msg = MakeRcgMsg(type, name);
    msg.cpuShare = share;
    std::list<unsigned int> list(pids.begin(), pids.end());
    FillRcgPids(msg, list.begin(), list.end());
    const TqRcgFrame frame = EncodeRcgFrame(msg);
    return std::vector<unsigned char>(frame.begin(), frame.end());
}

std::vector<unsigned char> HarmlessFrame() { return Frame(static_cast<RcgMsgType>(5), "tqtest_harmless"); }

std::string TextOf(const std::string& reply) { return std::string(reply.c_str()); }

RunResult RunTqd(const std::vector<std::string>& args, double seconds) {
    char pattern[] = "/tmp/tqtest-run-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
    const std::string dir = pattern;
    const pid_t pid = Spawn(args, dir + "/out", dir + "/err");
    RunResult result;
    result.status = WaitChild(pid, seconds);
    if (result.status == -1) {
        kill(pid, SIGKILL);
        WaitChild(pid, 5);
    }
    result.out = tqtest::ReadFile(dir + "/out");
    result.err = tqtest::ReadFile(dir + "/err");
    unlink((dir + "/out").c_str());
    unlink((dir + "/err").c_str());
    rmdir(dir.c_str());
    return result;
}

TqdProcess::TqdProcess(const std::string& sessionText, const std::vector<std::string>& args,
                       const std::string& baseText, bool allowOwnUid) {
    m_errPath = m_store.dir() + "/tqd.err";
    // A port found free may be taken before tqd binds it: try another.
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = FreePort();
        std::string text = "[Base]\nsTQLOGDIR=" + m_store.dir() + "/log\ndTQDEBUGLEVEL=4\n" + baseText +
                           "[Session]\nnTQDPORT=" + std::to_string(m_port) + "\n";
        // No metrics file unless the test asks for one in `sessionText`.
        text += "sTQDMETRICSDIR=\n";
        if (allowOwnUid) text += "sTQDALLOWEDUIDS=" + std::to_string(geteuid()) + "\n";
        m_store.write(text + sessionText);
        m_args = args;
        if (launch()) return;
        if (errText().find("is in use") == std::string::npos) break;
    }
    throw std::runtime_error("tqd did not start: " + errText() + log());
}

bool TqdProcess::launch() {
    std::vector<std::string> all = {"--foreground"};
    all.insert(all.end(), m_args.begin(), m_args.end());
    // Only what this start logs counts.
    const std::size_t logged = log().size();
    m_pid = Spawn(all, m_store.dir() + "/tqd.out", m_errPath);
    const auto start = Clock::now();
    const std::string ready = "tqd listening on 127.0.0.1:" + std::to_string(m_port);
    while (SecondsSince(start) < 60) {
        if (log().find(ready, logged) != std::string::npos) return true;
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        WaitChild(m_pid, 5);
        m_pid = -1;
    }
    return false;
}

bool TqdProcess::restart() {
    if (m_pid > 0) stop();
    return launch();
}

TqdProcess::~TqdProcess() {
    if (m_pid > 0) stop();
}

std::string TqdProcess::errText() const { return tqtest::ReadFile(m_errPath); }

bool TqdProcess::waitForLog(const std::string& text, double seconds) const {
    const auto start = Clock::now();
    do {
        if (log().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (SecondsSince(start) < seconds);
    return log().find(text) != std::string::npos;
}

void TqdProcess::signal(int number) {
    if (m_pid > 0) kill(m_pid, number);
}

int TqdProcess::wait(double seconds) {
    if (m_pid <= 0) return -1;
    const int status = WaitChild(m_pid, seconds);
    if (status != -1) m_pid = -1;
    return status;
}

int TqdProcess::stop(double seconds) {
    if (m_pid <= 0) return -1;
    kill(m_pid, SIGTERM);
    int status = WaitChild(m_pid, seconds);
    if (status == -1) {
        kill(m_pid, SIGKILL);
        WaitChild(m_pid, 5);
    }
    m_pid = -1;
    return status;
}

Client::Client(std::uint16_t port, const char* address) {
    sockaddr_storage storage{};
    socklen_t length;
    auto* in = reinterpret_cast<sockaddr_in*>(&storage);
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET, address, &in->sin_addr) == 1) {
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        length = sizeof(*in);
    } else {
        inet_pton(AF_INET6, address, &in6->sin6_addr);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        length = sizeof(*in6);
    }
    m_fd = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd >= 0 && connect(m_fd, reinterpret_cast<sockaddr*>(&storage), length) != 0) close();
}

Client::~Client() { close(); }

void Client::close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

bool Client::send(const void* data, std::size_t length) {
    const char* bytes = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t count = ::send(m_fd, bytes + done, length - done, MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return false;
        done += static_cast<std::size_t>(count);
    }
    return true;
}

void Client::endSending() { shutdown(m_fd, SHUT_WR); }

std::string Client::readToEnd(double seconds, bool* ended) {
    std::string bytes;
    if (ended) *ended = false;
    const auto start = Clock::now();
    for (;;) {
        const int left = static_cast<int>((seconds - SecondsSince(start)) * 1000);
        if (left <= 0) break;
        pollfd entry{m_fd, POLLIN, 0};
        if (poll(&entry, 1, left) <= 0) continue;
        char buffer[4096];
        const ssize_t count = recv(m_fd, buffer, sizeof(buffer), 0);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {
            if (ended) *ended = true;
            break;
        }
        bytes.append(buffer, static_cast<std::size_t>(count));
    }
    return bytes;
}

std::string Ask(std::uint16_t port, const std::vector<unsigned char>& frame, double seconds) {
    Client client(port);
    if (!client.connected()) return "connect failed";
    client.send(frame);
    client.endSending();
    return client.readToEnd(seconds);
}

std::string PromtoolPath() {
    const char* given = getenv("TQ_PROMTOOL");
    if (given && *given) return given;
    if (std::system("command -v promtool >/dev/null 2>&1") == 0) return "promtool";
    // The set-up puts it into build/ of the sources; other build folders
    // (the sanitizer build) use that one.
    std::vector<std::string> places{BuildDir() + "/tools/promtool"};
    if (const char* source = getenv("TQ_SOURCE_DIR")) {
        places.push_back(std::string(source) + "/build/tools/promtool");
    }
    for (const std::string& place : places) {
        if (access(place.c_str(), X_OK) == 0) return place;
    }
    return std::string();
}

std::string PromtoolProblems(const std::string& promtool, const std::string& path) {
    const std::string command = "'" + promtool + "' check metrics < '" + path + "' 2>&1";
    std::string said;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return "cannot run " + promtool;
    char buffer[1024];
    std::size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), pipe)) > 0) said.append(buffer, got);
    const int status = pclose(pipe);
    return status == 0 ? std::string() : said.empty() ? "promtool failed" : said;
}

}  // namespace tqdtest
