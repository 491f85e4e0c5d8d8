// The command runner.  TqProcess::system runs one shell command line and
// captures its standard output and standard error.  All commands of the
// library go through the one installed CommandRunner; unit tests install a
// scripted one.
#pragma once

#include <string>

class CommandRunner {
public:
    virtual ~CommandRunner() = default;
    // Runs `command`, replaces *out and *err with what it printed; returns
    // its exit status (0 only for success), 128 + the signal when a signal
    // ended it, or -1 when it could not be run or ran past its time limit.
    virtual int run(const std::string& command, std::string* out, std::string* err,
                    int timeoutSeconds) = 0;
};

// The real runner: /bin/sh -c through posix_spawn (a line that is one
// program with plain words, which the shell would only split at blanks and
// run, is started directly without the shell in between), both streams read at the
// same time, standard input from /dev/null, no other descriptor, default
// signal mask and dispositions, environment PATH=/usr/sbin:/usr/bin:/sbin:/bin
// and LC_ALL=C.  Of each stream at most 1 MiB (tqfw::kCaptureLimit) is
// kept; the rest is read and counted, and the kept text then ends with the
// line "(N more bytes)".  A command that runs past its time limit is killed
// with its process group; the result is then non-zero and *err ends with a
// line saying so.
class ShellRunner : public CommandRunner {
public:
    int run(const std::string& command, std::string* out, std::string* err,
            int timeoutSeconds) override;
};

namespace tqfw {
// The shell's convention for a wait status: the exit status of a command
// that exited, 128 + the signal for one that a signal ended, -1 when there
// is no status (-1, or a stopped child).
int ResultOfWaitStatus(int status);
}  // namespace tqfw

namespace TqProcess {
// Runs `command` with the installed runner.  `timeoutSeconds` 0 means the
// configured limit ("Base"/"dTQCMDTIMEOUT", default 60 s).  `detached` must be
// false: the call always waits for the command.  Returns 0 only for success.
int system(const char* command, std::string* out, std::string* err, int timeoutSeconds,
           bool detached);

// Installs `runner` (null restores the real one) and returns the previous.
CommandRunner* setRunner(CommandRunner* runner);

// RAII installation of a runner for the length of a scope (tests).
class ScopedRunner {
public:
    explicit ScopedRunner(CommandRunner* runner) : m_previous(setRunner(runner)) {}
    ~ScopedRunner() { setRunner(m_previous); }
    ScopedRunner(const ScopedRunner&) = delete;
    ScopedRunner& operator=(const ScopedRunner&) = delete;

private:
    CommandRunner* m_previous;
};
}  // namespace TqProcess
