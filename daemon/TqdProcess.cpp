#include "daemon/TqdProcess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

Daemonizer::~Daemonizer() {
    if (m_pipe >= 0) close(m_pipe);
}

int Daemonizer::start() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "tqd: cannot become a daemon: pipe: %s\n", std::strerror(errno));
        return 1;
    }
    const pid_t child = fork();
    if (child < 0) {
        std::fprintf(stderr, "tqd: cannot become a daemon: fork: %s\n", std::strerror(errno));
        close(ends[0]);
        close(ends[1]);
        return 1;
    }
    if (child > 0) {
        close(ends[1]);
        std::string word;
        char buffer[512];
        for (;;) {
            const ssize_t count = read(ends[0], buffer, sizeof(buffer));
            if (count < 0 && errno == EINTR) continue;
            if (count <= 0) break;
            word.append(buffer, static_cast<std::size_t>(count));
        }
        close(ends[0]);
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        if (word == kReady) return 0;
        if (word.empty()) word = "the daemon ended during its start-up";
        std::fprintf(stderr, "tqd: %s\n", word.c_str());
        return 1;
    }

    // The first child: a new session, then the daemon in it, which can never
    // get a controlling terminal again.
    close(ends[0]);
    if (setsid() < 0) {
        WriteAll(ends[1], std::string("cannot become a daemon: setsid: ") + std::strerror(errno));
        _exit(1);
    }
    const pid_t daemon = fork();
    if (daemon < 0) {
        WriteAll(ends[1], std::string("cannot become a daemon: fork: ") + std::strerror(errno));
        _exit(1);
    }
    if (daemon > 0) _exit(0);

    m_pipe = ends[1];
    umask(022);
    if (chdir("/") != 0) {
        // "/" always exists; nothing to do about it otherwise.
    }
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        if (null > STDERR_FILENO) close(null);
    }
    return -1;
}

void Daemonizer::ready() {
    if (m_pipe < 0) return;
    WriteAll(m_pipe, kReady);
    close(m_pipe);
    m_pipe = -1;
}

void Daemonizer::failed(const std::string& message) {
    if (m_pipe < 0) return;
    WriteAll(m_pipe, message.empty() ? std::string("start-up failed") : message);
    close(m_pipe);
    m_pipe = -1;
}

bool PidFile::write(const std::string& path, std::string* problem) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *problem = "cannot write the pid file " + path + ": " + std::strerror(errno) +
                   " (choose another with --pidfile)";
        return false;
    }
    const bool written = WriteAll(fd, std::to_string(getpid()) + "\n");
    const int error = errno;
    close(fd);
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
    const int fd = open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        const ssize_t count = read(fd, buffer, sizeof(buffer) - 1);
        close(fd);
        if (count > 0 && std::atol(buffer) == static_cast<long>(getpid())) unlink(m_path.c_str());
    }
    m_path.clear();
}

}  // namespace tqd
