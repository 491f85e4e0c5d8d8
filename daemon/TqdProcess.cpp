#include "daemon/TqdProcess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace tqd {

namespace {

bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t count = ::write(fd, text.data() + done, text.size() - done);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return false;
        done += static_cast<std::size_t>(count);
    }
    return true;
}

const char kReady[] = "ready";

}  // namespace

namespace {

// In the original process: reads the daemon's report until the pipe closes,
// reaps the first child and returns the exit status.
int AwaitReport(pid_t child, UniqueFd readEnd) {
    std::string word;
    char buffer[512];
    for (;;) {
        const ssize_t count = read(readEnd.get(), buffer, sizeof(buffer));
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        word.append(buffer, static_cast<std::size_t>(count));
    }
    readEnd.reset();
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (word == kReady) return 0;
    if (word.empty()) word = "the daemon ended during its start-up";
    std::fprintf(stderr, "tqd: %s\n", word.c_str());
    return 1;
}

// In the first child: a new session, then the daemon in it, which can never
// get a controlling terminal again.  Returns only in the daemon.
void StartSession(int report) {
    if (setsid() < 0) {
        WriteAll(report, std::string("cannot become a daemon: setsid: ") + std::strerror(errno));
        _exit(1);
    }
    const pid_t daemon = fork();
    if (daemon < 0) {
        WriteAll(report, std::string("cannot become a daemon: fork: ") + std::strerror(errno));
        _exit(1);
    }
    if (daemon > 0) _exit(0);
}

// The daemon's file mode mask, folder and standard streams.
void LeaveTheTerminal() {
    umask(022);
    if (chdir("/") != 0) {
        // "/" always exists; nothing to do about it otherwise.
    }
    UniqueFd null(open("/dev/null", O_RDWR | O_CLOEXEC));
    if (null.open()) {
        dup2(null.get(), STDIN_FILENO);
        dup2(null.get(), STDOUT_FILENO);
        dup2(null.get(), STDERR_FILENO);
        // Opened onto a free standard descriptor, it stays as that stream.
        if (null.get() <= STDERR_FILENO) null.release();
    }
}

}  // namespace

int Daemonizer::start() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "tqd: cannot become a daemon: pipe: %s\n", std::strerror(errno));
        return 1;
    }
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    const pid_t child = fork();
    if (child < 0) {
        std::fprintf(stderr, "tqd: cannot become a daemon: fork: %s\n", std::strerror(errno));
        return 1;
    }
    if (child > 0) {
        writeEnd.reset();
        return AwaitReport(child, std::move(readEnd));
    }
    readEnd.reset();
    StartSession(writeEnd.get());
    m_pipe = std::move(writeEnd);
    LeaveTheTerminal();
    return -1;
}

void Daemonizer::ready() {
    if (!m_pipe.open()) return;
    WriteAll(m_pipe.get(), kReady);
    m_pipe.reset();
}

void Daemonizer::failed(const std::string& message) {
    if (!m_pipe.open()) return;
    WriteAll(m_pipe.get(), message.empty() ? std::string("start-up failed") : message);
    m_pipe.reset();
}

bool PidFile::write(const std::string& path, std::string* problem) {
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.open()) {
        *problem = "cannot write the pid file " + path + ": " + std::strerror(errno) +
                   " (choose another with --pidfile)";
        return false;
    }
    const bool written = WriteAll(fd.get(), std::to_string(getpid()) + "\n");
    const int error = errno;
    fd.reset();
    if (!written) {
        unlink(path.c_str());
        *problem = "cannot write the pid file " + path + ": " + std::strerror(error);
        return false;
    }
    m_path = path;
    return true;
}

void PidFile::remove() {
    if (m_path.empty()) return;
    // Leave a file that another tqd has taken over since.
    char buffer[32] = {0};
    UniqueFd fd(open(m_path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.open()) {
        const ssize_t count = read(fd.get(), buffer, sizeof(buffer) - 1);
        fd.reset();
        if (count > 0 && std::atol(buffer) == static_cast<long>(getpid())) unlink(m_path.c_str());
    }
    m_path.clear();
}

}  // namespace tqd
