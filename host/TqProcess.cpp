#include "host/TqProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "host/OutputCapture.h"
#include "host/ShellLine.h"
#include "host/TQPlatformInfo.h"
#include "host/UniqueFd.h"

namespace {

constexpr int kDefaultTimeoutSeconds = 60;
constexpr std::size_t kReadChunk = 64 * 1024;

// The only environment a command sees.
const char* const kEnvironment[] = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C", nullptr};

ShellRunner g_shellRunner;
// Null means the real runner.
std::atomic<CommandRunner*> g_runner{nullptr};

class SpawnActions {
public:
    SpawnActions() { m_ok = posix_spawn_file_actions_init(&m_actions) == 0; }
    ~SpawnActions() {
        if (m_ok) posix_spawn_file_actions_destroy(&m_actions);
    }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    posix_spawn_file_actions_t* get() { return &m_actions; }
    bool ok() const { return m_ok; }

private:
    posix_spawn_file_actions_t m_actions;
    bool m_ok;
};

class SpawnAttributes {
public:
    SpawnAttributes() { m_ok = posix_spawnattr_init(&m_attributes) == 0; }
    ~SpawnAttributes() {
        if (m_ok) posix_spawnattr_destroy(&m_attributes);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    posix_spawnattr_t* get() { return &m_attributes; }
    bool ok() const { return m_ok; }

private:
    posix_spawnattr_t m_attributes;
    bool m_ok;
};

std::string ErrorText(const char* what, int error) {
    return std::string(what) + ": " + strerror(error) + "\n";
}

// Our pipe ends must not sit on 0, 1 or 2 (when the caller has closed its
// standard descriptors), or the child's dup2 steps would overwrite them.
UniqueFd AboveStandard(UniqueFd fd) {
    if (fd.get() > STDERR_FILENO) return fd;
    UniqueFd moved(fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
    int error = errno;
    fd.reset();
    errno = error;
    return moved;
}

bool MakePipe(UniqueFd* readEnd, UniqueFd* writeEnd) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    UniqueFd r(fds[0]);
    UniqueFd w(fds[1]);
    *readEnd = AboveStandard(std::move(r));
    *writeEnd = AboveStandard(std::move(w));
    if (!readEnd->open() || !writeEnd->open()) return false;
    // Only our end is non-blocking; the child's end keeps blocking writes.
    int flags = fcntl(readEnd->get(), F_GETFL);
    return flags >= 0 && fcntl(readEnd->get(), F_SETFL, flags | O_NONBLOCK) == 0;
}

int ConfiguredTimeout() {
    TQPlatformInfo store;
    std::uint64_t seconds = 0;
    if (store.getNumber("Base", "dTQCMDTIMEOUT", seconds) && seconds > 0) {
        return seconds > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(seconds);
    }
    return kDefaultTimeoutSeconds;
}

// One read of what the pipe holds (one per wake-up, so that a fast writer on
// one stream cannot starve the other or the time limit).  Closes our end
// when the stream has ended or failed.
void ReadOnce(UniqueFd& fd, tqfw::OutputCapture* into) {
    char chunk[kReadChunk];
    for (;;) {
        ssize_t n = read(fd.get(), chunk, sizeof chunk);
        if (n > 0) {
            into->append(chunk, static_cast<std::size_t>(n));
            return;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        fd.reset();
        return;
    }
}

// Reads exactly what the pipe holds now, however fast a writer still adds.
void ReadWhatIsThere(UniqueFd& fd, tqfw::OutputCapture* into) {
    int pending = 0;
    if (ioctl(fd.get(), FIONREAD, &pending) != 0) return;
    char chunk[kReadChunk];
    while (pending > 0) {
        ssize_t n = read(fd.get(), chunk, std::min<std::size_t>(sizeof chunk, static_cast<std::size_t>(pending)));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        into->append(chunk, static_cast<std::size_t>(n));
        pending -= static_cast<int>(n);
    }
}

// A descriptor that becomes readable when the child exits; -1 when the
// kernel has none (then the exit is polled for).  Called through syscall():
// glibc's <sys/pidfd.h> lacks C linkage for C++.
int ExitNotice(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

bool HasExited(pid_t pid) {
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    // WNOWAIT: the child stays a zombie, so its process group id cannot be
    // reused before we are done with it.
    int rc;
    do {
        rc = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (rc != 0 && errno == EINTR);
    return rc != 0 || info.si_pid == pid;
}

void KillGroup(pid_t pid) {
    // The child leads its own group (POSIX_SPAWN_SETPGROUP 0) and is not
    // reaped yet, so -pid still names that group.
    if (kill(-pid, SIGKILL) != 0) kill(pid, SIGKILL);
}

// The started shell: reaped exactly once, also when reading its output
// throws (then it is killed with its group first).
class Child {
public:
    explicit Child(pid_t pid) : m_pid(pid) {}
    ~Child() {
        if (m_reaped) return;
        KillGroup(m_pid);
        int status;
        while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    pid_t pid() const { return m_pid; }

    int reap(std::string* err) {
        m_reaped = true;
        int status = 0;
        for (;;) {
            if (waitpid(m_pid, &status, 0) == m_pid) return status;
            if (errno != EINTR) {
                *err += ErrorText("cannot wait for the command", errno);
                return -1;
            }
        }
    }

private:
    pid_t m_pid;
    bool m_reaped = false;
};

// The pipes of a command's two streams: our read ends and the command's
// write ends.
struct Pipes {
    UniqueFd outRead;
    UniqueFd outWrite;
    UniqueFd errRead;
    UniqueFd errWrite;
};

// Standard input from /dev/null, the streams onto the pipes, no other
// descriptor, default signal mask and dispositions, a process group of its
// own.  0 or the error number.
int PrepareStart(const Pipes& pipes, SpawnActions& actions, SpawnAttributes& attributes) {
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    int rc = posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(actions.get(), pipes.outWrite.get(), STDOUT_FILENO);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(actions.get(), pipes.errWrite.get(), STDERR_FILENO);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Descriptors other threads opened without O_CLOEXEC stay out as well.
    if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);
#endif
    if (rc == 0) rc = posix_spawnattr_setsigmask(attributes.get(), &none);
    if (rc == 0) rc = posix_spawnattr_setsigdefault(attributes.get(), &all);
    if (rc == 0) rc = posix_spawnattr_setpgroup(attributes.get(), 0);
    if (rc == 0) {
        rc = posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                            POSIX_SPAWN_SETPGROUP);
    }
    return rc;
}

// What is started for a command line: the program and its words.
struct Launch {
    std::string program;
    std::vector<std::string> words;
};

// A single program is started directly; anything else through the shell.
Launch ChooseLaunch(const std::string& command) {
    Launch launch;
    if (tqfw::SimpleCommandWords(command, [](const std::string& word) { return !tqfw::ProgramPath(word).empty(); },
                                 &launch.words)) {
        launch.program = tqfw::ProgramPath(launch.words[0]);
    } else {
        launch.program = "/bin/sh";
        launch.words = {"sh", "-c", command};
    }
    return launch;
}

// Starts `launch`; a script without "#!" is handed to the shell, and
// launch->program then names the shell.  0 or the error number.
int Start(const std::string& command, Launch* launch, SpawnActions& actions, SpawnAttributes& attributes,
          pid_t* pid) {
    std::vector<char*> argv;
    for (auto& word : launch->words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    // glibc starts the child with CLONE_VM | CLONE_VFORK: nothing of this
    // process's memory is copied.
    int rc = posix_spawn(pid, launch->program.c_str(), actions.get(), attributes.get(), argv.data(),
                         const_cast<char* const*>(kEnvironment));
    if (rc == ENOEXEC && launch->program != "/bin/sh") {
        // A script without "#!": the shell knows how to run it.
        launch->program = "/bin/sh";
        std::string line = command;
        char* shellArgv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), &line[0], nullptr};
        rc = posix_spawn(pid, launch->program.c_str(), actions.get(), attributes.get(), shellArgv,
                         const_cast<char* const*>(kEnvironment));
    }
    return rc;
}

// How reading a command's output ended.
enum class ReadEnd { Exited, TimedOut, Failed };

// Reads both streams of a started command until it exits, its time runs out
// or waiting fails.  Past its limit a stream is still drained, so that the
// command never blocks on a full pipe, but only counted.
class OutputReader {
public:
    OutputReader(pid_t pid, Pipes& pipes, std::string* out, std::string* err, int timeoutSeconds)
        : m_pid(pid),
          m_pipes(pipes),
          m_outCapture(out),
          m_errCapture(err),
          m_exitNotice(ExitNotice(pid)),
          m_deadline(std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds)) {}

    ReadEnd readUntilEnd(std::string* failure);
    // Closes the read ends and the exit notice; the kept texts get their
    // notes of what was left out.
    void finish();

private:
    bool waitOnce(std::chrono::milliseconds left, bool* exited);

    pid_t m_pid;
    Pipes& m_pipes;
    tqfw::OutputCapture m_outCapture;
    tqfw::OutputCapture m_errCapture;
    UniqueFd m_exitNotice;
    std::chrono::steady_clock::time_point m_deadline;
};

ReadEnd OutputReader::readUntilEnd(std::string* failure) {
    bool exited = false;
    for (;;) {
        if (exited) {
            // The shell and its foreground commands are done, so all their
            // output is in the pipes; only a background job can still hold
            // them open, and we do not wait for it.
            if (m_pipes.outRead.open()) ReadWhatIsThere(m_pipes.outRead, &m_outCapture);
            if (m_pipes.errRead.open()) ReadWhatIsThere(m_pipes.errRead, &m_errCapture);
            return ReadEnd::Exited;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            m_deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return ReadEnd::TimedOut;
        if (!waitOnce(left, &exited)) {
            if (errno == EINTR) continue;
            *failure = ErrorText("cannot wait for the command's output", errno);
            return ReadEnd::Failed;
        }
    }
}

// One wait for output, the exit or the end of `left`, and one read of each
// stream that woke it.  False when poll failed (errno says why).
bool OutputReader::waitOnce(std::chrono::milliseconds left, bool* exited) {
    pollfd fds[3];
    nfds_t count = 0;
    int outSlot = -1, errSlot = -1, exitSlot = -1;
    if (m_pipes.outRead.open()) {
        outSlot = static_cast<int>(count);
        fds[count++] = pollfd{m_pipes.outRead.get(), POLLIN, 0};
    }
    if (m_pipes.errRead.open()) {
        errSlot = static_cast<int>(count);
        fds[count++] = pollfd{m_pipes.errRead.get(), POLLIN, 0};
    }
    if (m_exitNotice.open()) {
        exitSlot = static_cast<int>(count);
        fds[count++] = pollfd{m_exitNotice.get(), POLLIN, 0};
    }
    // With both streams ended, only the exit (or the time limit) is left
    // to wait for: a command may close its output and go on running.
    long long waitMs = std::min<long long>(left.count(), INT_MAX);
    if (!m_exitNotice.open()) waitMs = std::min<long long>(waitMs, 100);
    if (poll(fds, count, static_cast<int>(waitMs)) < 0) return false;
    if (outSlot >= 0 && fds[outSlot].revents != 0) ReadOnce(m_pipes.outRead, &m_outCapture);
    if (errSlot >= 0 && fds[errSlot].revents != 0) ReadOnce(m_pipes.errRead, &m_errCapture);
    if (exitSlot >= 0) {
        *exited = fds[exitSlot].revents != 0;
    } else {
        *exited = HasExited(m_pid);
    }
    return true;
}

void OutputReader::finish() {
    m_pipes.outRead.reset();
    m_pipes.errRead.reset();
    m_exitNotice.reset();
    m_outCapture.finish();
    m_errCapture.finish();
}

// Reads the started command's output, reaps it (killed with its group when
// its time ran out or waiting failed) and returns the runner's result.
int AwaitCommand(Child& child, Pipes& pipes, std::string* out, std::string* err, int timeoutSeconds) {
    OutputReader reader(child.pid(), pipes, out, err, timeoutSeconds);
    std::string failure;
    const ReadEnd end = reader.readUntilEnd(&failure);
    reader.finish();

    if (end != ReadEnd::Exited) KillGroup(child.pid());
    int status = child.reap(err);
    if (end == ReadEnd::Failed) {
        *err += failure;
        return -1;
    }
    if (end == ReadEnd::TimedOut) {
        if (!err->empty() && err->back() != '\n') *err += '\n';
        *err += "command timed out after " + std::to_string(timeoutSeconds) + " s and was killed\n";
        return -1;
    }
    return tqfw::ResultOfWaitStatus(status);
}

}  // namespace

int ShellRunner::run(const std::string& command, std::string* out, std::string* err,
                     int timeoutSeconds) {
    out->clear();
    err->clear();
    if (command.find('\0') != std::string::npos) {
        *err = "command contains a NUL byte\n";
        return -1;
    }
    if (timeoutSeconds <= 0) timeoutSeconds = ConfiguredTimeout();

    Pipes pipes;
    if (!MakePipe(&pipes.outRead, &pipes.outWrite) || !MakePipe(&pipes.errRead, &pipes.errWrite)) {
        *err = ErrorText("cannot create a pipe", errno);
        return -1;
    }
    SpawnActions actions;
    SpawnAttributes attributes;
    if (!actions.ok() || !attributes.ok()) {
        *err = "cannot prepare the command's start\n";
        return -1;
    }
    int rc = PrepareStart(pipes, actions, attributes);
    if (rc != 0) {
        *err = ErrorText("cannot prepare the command's start", rc);
        return -1;
    }
    Launch launch = ChooseLaunch(command);
    pid_t pid = -1;
    rc = Start(command, &launch, actions, attributes, &pid);
    pipes.outWrite.reset();
    pipes.errWrite.reset();
    if (rc != 0) {
        *err = ErrorText(("cannot run " + launch.program).c_str(), rc);
        return -1;
    }
    Child child(pid);
    return AwaitCommand(child, pipes, out, err, timeoutSeconds);
}

namespace tqfw {

bool SimpleCommandWords(const std::string& command,
                        const std::function<bool(const std::string& word)>& isProgram,
                        std::vector<std::string>* words) {
    words->clear();
    std::string body = command;
    while (!body.empty() && body.back() == '\n') body.pop_back();
    if (body.find_first_of("\n\r|&;<>()$`\\\"'*?[]{}~#!") != std::string::npos) return false;
    std::size_t at = 0;
    while (at < body.size()) {
        const std::size_t start = body.find_first_not_of(" \t", at);
        if (start == std::string::npos) break;
        const std::size_t end = std::min(body.find_first_of(" \t", start), body.size());
        words->push_back(body.substr(start, end - start));
        at = end;
    }
    if (words->empty() || (*words)[0].find('=') != std::string::npos || !isProgram((*words)[0])) {
        words->clear();
        return false;
    }
    return true;
}

std::string ProgramPath(const std::string& word) {
    auto isExecutableFile = [](const std::string& path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
    };
    if (word.find('/') != std::string::npos) return isExecutableFile(word) ? word : std::string();
    for (const char* folder : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"}) {
        if (isExecutableFile(folder + word)) return folder + word;
    }
    return std::string();
}

int ResultOfWaitStatus(int status) {
    if (status == -1) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace tqfw

namespace TqProcess {

int system(const char* command, std::string* out, std::string* err, int timeoutSeconds,
           bool /*detached: the call always waits*/) {
    std::string localOut, localErr;
    if (out == nullptr) out = &localOut;
    if (err == nullptr) err = &localErr;
    if (command == nullptr) {
        out->clear();
        *err = "no command given\n";
        return -1;
    }
    CommandRunner* runner = g_runner.load();
    if (runner == nullptr) runner = &g_shellRunner;
    return runner->run(command, out, err, timeoutSeconds);
}

CommandRunner* setRunner(CommandRunner* runner) { return g_runner.exchange(runner); }

}  // namespace TqProcess
