#include <fcntl.h>
#include <signal.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ostream>

#include "TqrcgCommands.h"
#include "TqrcgText.h"
#include "host/CQiError.h"
#include "host/UniqueFd.h"
#include "include/tqrcgmgr/tqrcgmgr.h"

namespace tqrcg {
namespace {

// Exit status of a child that was never released to run its command.
constexpr int kChildAbandoned = 125;

// Blocks SIGINT, SIGTERM and SIGCHLD for the scope: they are taken with
// sigwaitinfo while the command runs.  SIGPIPE is blocked too, so that
// releasing a child that has died already fails with EPIPE instead of ending
// tqrcg.
class BlockedSignals {
public:
    BlockedSignals() {
        sigemptyset(&m_set);
        sigaddset(&m_set, SIGINT);
        sigaddset(&m_set, SIGTERM);
        sigaddset(&m_set, SIGCHLD);
        sigaddset(&m_set, SIGPIPE);
        sigprocmask(SIG_BLOCK, &m_set, &m_previous);
    }
    ~BlockedSignals() {
        // A forwarded signal or a reaped child may still be pending: drop it
        // rather than act on it once unblocked.
        const timespec now{0, 0};
        siginfo_t info;
        while (sigtimedwait(&m_set, &info, &now) > 0) {
        }
        sigprocmask(SIG_SETMASK, &m_previous, nullptr);
    }
    BlockedSignals(const BlockedSignals&) = delete;
    BlockedSignals& operator=(const BlockedSignals&) = delete;

    const sigset_t& set() const { return m_set; }
    const sigset_t& previous() const { return m_previous; }

private:
    sigset_t m_set;
    sigset_t m_previous;
};

// In the child: waits until the parent has moved it into the group, then
// becomes the command.  Never returns.
[[noreturn]] void RunChild(int gate, const sigset_t& mask, char* const* argv) {
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    char go = 0;
    ssize_t count;
    do {
        count = read(gate, &go, 1);
    } while (count < 0 && errno == EINTR);
    if (count != 1) _exit(kChildAbandoned);
    execvp(argv[0], argv);
    const int error = errno;
    // No allocation here: the parent may have had other threads.
    const char* reason = std::strerror(error);
    iovec parts[] = {{const_cast<char*>("tqrcg: cannot run "), 18},
                     {argv[0], std::strlen(argv[0])},
                     {const_cast<char*>(": "), 2},
                     {const_cast<char*>(reason), std::strlen(reason)},
                     {const_cast<char*>("\n"), 1}};
    const ssize_t written = writev(STDERR_FILENO, parts, 5);
    (void)written;
    _exit(error == ENOENT ? 127 : 126);
}

int WaitForChild(pid_t child) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// Passes SIGINT and SIGTERM on to the child until it ends; returns its wait
// status.  A signal that the kernel sent (the terminal's Ctrl-C, which goes
// to the whole foreground process group) has reached the child already and
// is not sent twice.
int SuperviseChild(pid_t child, const sigset_t& signals) {
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) return status;
        if (done < 0 && errno != EINTR) return status;
        siginfo_t info;
        const int signal = sigwaitinfo(&signals, &info);
        if ((signal == SIGINT || signal == SIGTERM) && info.si_code != SI_KERNEL) kill(child, signal);
    }
}

// Lets the child held at the gate go on to run its command.
void OpenGate(UniqueFd& gateWrite) {
    const char go = 'g';
    ssize_t written;
    do {
        written = write(gateWrite.get(), &go, 1);
    } while (written < 0 && errno == EINTR);
    gateWrite.reset();
}

// Starts the command in a child that waits at a gate until it is in the
// group, moves it there, lets it go and supervises it.  True with the
// command's wait status in *status; false when tqrcg failed, with its exit
// status in *status (the failure printed).
bool RunCommandInGroup(const RunRequest& request, std::ostream& err, int* status) {
    std::vector<std::string> words = request.command;
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);

    BlockedSignals signals;
    int gateFds[2];
    if (pipe2(gateFds, O_CLOEXEC) != 0) {
        err << "tqrcg: cannot make a pipe: " << std::strerror(errno) << "\n";
        *status = kExitFailure;
        return false;
    }
    UniqueFd gateRead(gateFds[0]);
    UniqueFd gateWrite(gateFds[1]);

    err.flush();
    const pid_t child = fork();
    if (child < 0) {
        err << "tqrcg: cannot start " << request.command.front() << ": " << std::strerror(errno) << "\n";
        *status = kExitFailure;
        return false;
    }
    if (child == 0) {
        gateWrite.reset();
        RunChild(gateRead.get(), signals.previous(), argv.data());
    }
    gateRead.reset();

    const CQiError result = assignPidsTo(request.group, std::list<unsigned int>{static_cast<unsigned int>(child)});
    if (result.IsError()) {
        kill(child, SIGKILL);
        gateWrite.reset();
        WaitForChild(child);
        *status = ReportFailure(result, err);
        return false;
    }
    OpenGate(gateWrite);
    *status = SuperviseChild(child, signals.set());
    return true;
}

}  // namespace

int RunInGroup(const RunRequest& request, std::ostream& err) {
    CQiError result = createRcgGroup(request.group);
    if (result.IsError()) return ReportFailure(result, err);
    result = setRcgCPUShare(request.group, request.percent);
    if (result.IsError()) return ReportFailure(result, err);
    if (!request.settings.empty()) {
        result = ApplySettings(request.group, request.settings);
        if (result.IsError()) return ReportFailure(result, err);
    }

    int status = 0;
    if (!RunCommandInGroup(request, err, &status)) return status;
    const int exitStatus = ExitStatusOf(status);

    if (request.deleteAfter) {
        result = deleteRcgGroup(request.group);
        if (result.IsError()) {
            ReportFailure(result, err);
            return exitStatus != kExitSuccess ? exitStatus : kExitFailure;
        }
    }
    return exitStatus;
}

}  // namespace tqrcg
