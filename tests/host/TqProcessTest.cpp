#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "host/ShellLine.h"
#include "host/TqProcess.h"
#include "tests/support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Result {
    int status = 0;
    std::string out;
    std::string err;
};

Result RunShell(const std::string& command, int timeoutSeconds = 10) {
    Result result;
    result.status = TqProcess::system(command.c_str(), &result.out, &result.err, timeoutSeconds, false);
    return result;
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// True when `pid` has gone (or is only a zombie waiting for its reaper).
bool Gone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return true;
    std::size_t paren = text.rfind(')');
    return paren != std::string::npos && text.compare(paren + 2, 1, "Z") == 0;
}

bool GoneWithin(pid_t pid, double seconds) {
    auto start = Clock::now();
    while (!Gone(pid)) {
        if (SecondsSince(start) > seconds) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

TEST(TqProcessTest, CapturesBothStreamsAndReplacesOldText) {
    Result result;
    result.out = "stale out";
    result.err = "stale err";
    result.status = TqProcess::system("printf '%s\\n' 'a%d b'; echo e >&2", &result.out, &result.err, 10, false);
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("a%d b\n", result.out);
    EXPECT_EQ("e\n", result.err);
    std::string out = "stale", err = "stale";
    EXPECT_EQ(0, TqProcess::system("true", &out, &err, 10, false));
    EXPECT_EQ("", out);
    EXPECT_EQ("", err);
}

TEST(TqProcessTest, ReportsExitStatusesAndSignals) {
    Result ok = RunShell("echo fine; exit 0");
    EXPECT_EQ(0, ok.status);
    EXPECT_EQ("fine\n", ok.out);
    for (int code : {1, 3, 255}) {
        Result failed = RunShell("echo out; echo err >&2; exit " + std::to_string(code));
        ASSERT_NE(0, failed.status) << code;
        EXPECT_EQ(code, failed.status);
        EXPECT_EQ("out\n", failed.out);
        EXPECT_EQ("err\n", failed.err);
    }
    for (int signal : {SIGTERM, SIGKILL, SIGSEGV}) {
        Result killed = RunShell("kill -" + std::to_string(signal) + " $$");
        EXPECT_EQ(128 + signal, killed.status);
    }
    Result missing = RunShell("/nonexistent/tool --flag");
    EXPECT_NE(0, missing.status);
    EXPECT_NE(std::string::npos, missing.err.find("/nonexistent/tool"));
}

TEST(TqProcessTest, ReadsMegabytesOnBothStreamsAtOnce) {
    const std::size_t kKept = 1u << 20;
    // 4 MiB on each stream: 1 MiB kept, the other 3 MiB read and counted.
    const std::string note = "\n(3145728 more bytes)\n";
    // Interleaved writers: a reader that drains one stream first would stall.
    Result result = RunShell("(head -c 4194304 /dev/zero | tr '\\0' a) & "
                        "head -c 4194304 /dev/zero | tr '\\0' b >&2; wait");
    EXPECT_EQ(0, result.status);
    ASSERT_EQ(kKept + note.size(), result.out.size());
    ASSERT_EQ(kKept + note.size(), result.err.size());
    EXPECT_EQ(std::string(kKept, 'a'), result.out.substr(0, kKept));
    EXPECT_EQ(std::string(kKept, 'b'), result.err.substr(0, kKept));
    EXPECT_EQ(note, result.out.substr(kKept));
    EXPECT_EQ(note, result.err.substr(kKept));

    // One stream after the other.
    Result serial = RunShell("head -c 4194304 /dev/zero; head -c 4194304 /dev/zero >&2");
    EXPECT_EQ(0, serial.status);
    EXPECT_EQ(kKept + note.size(), serial.out.size());
    EXPECT_EQ(kKept + note.size(), serial.err.size());

    // Exactly the limit is kept whole, without a note.
    Result whole = RunShell("head -c 1048576 /dev/zero; head -c 1048576 /dev/zero >&2");
    EXPECT_EQ(0, whole.status);
    EXPECT_EQ(kKept, whole.out.size());
    EXPECT_EQ(kKept, whole.err.size());
}

// The highest resident size of this process since the last reset, in bytes;
// -1 when the kernel does not tell.
long long PeakResidentBytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stoll(line.substr(6)) * 1024;
    }
    return -1;
}

bool ResetPeakResident() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return static_cast<bool>(clear);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMeasuresMemory = false;  // the sanitizer's own memory would swamp the figure
#else
constexpr bool kMeasuresMemory = true;
#endif

TEST(TqProcessTest, FiftyMegabytesOfOutputKeepOneMebibyteAndTheCountOfTheRest) {
    const std::size_t kKept = 1u << 20;
    const bool measured = kMeasuresMemory && ResetPeakResident();
    const long long before = PeakResidentBytes();
    auto start = Clock::now();
    Result result = RunShell("head -c 52428800 /dev/zero", 60);
    const double seconds = SecondsSince(start);
    const long long peak = PeakResidentBytes();

    EXPECT_EQ(0, result.status);
    EXPECT_EQ("", result.err);
    const std::string note = "\n(51380224 more bytes)\n";
    ASSERT_EQ(kKept + note.size(), result.out.size());
    EXPECT_EQ(std::string(kKept, '\0'), result.out.substr(0, kKept));
    EXPECT_EQ(note, result.out.substr(kKept));
    std::printf("50 MB of output read in %.2f s\n", seconds);
    if (measured && before > 0 && peak > 0) {
        EXPECT_LT(peak - before, 20ll << 20) << "peak resident size grew from " << before << " to " << peak;
    }

    // Through the shell, on standard error, with a last line that ends.
    Result onErr = RunShell("yes 1234567 | head -c 3145728 >&2; exit 3", 60);
    EXPECT_EQ(3, onErr.status);
    EXPECT_EQ("", onErr.out);
    ASSERT_EQ(kKept + std::string("(2097152 more bytes)\n").size(), onErr.err.size());
    EXPECT_EQ("1234567\n(2097152 more bytes)\n", onErr.err.substr(kKept - 8));
}

TEST(TqProcessTest, TimeLimitStillKillsACommandWhoseOutputOverflows) {
    auto start = Clock::now();
    Result result = RunShell("head -c 2097152 /dev/zero; head -c 1048577 /dev/zero >&2; sleep 30", 1);
    EXPECT_EQ(-1, result.status);
    EXPECT_LT(SecondsSince(start), 25.0) << "killed, not waited for";
    EXPECT_EQ("\n(1048576 more bytes)\n", result.out.substr(1u << 20));
    EXPECT_EQ("\n(1 more bytes)\ncommand timed out after 1 s and was killed\n", result.err.substr(1u << 20));
}

TEST(TqProcessTest, TimeLimitKillsTheWholeGroup) {
    auto start = Clock::now();
    Result result = RunShell("sleep 30 & echo $!; echo started >&2; sleep 30", 1);
    double seconds = SecondsSince(start);
    EXPECT_EQ(-1, result.status);
    EXPECT_LT(seconds, 25.0) << "killed, not waited for";
    EXPECT_GE(seconds, 0.9);  // not before its time; load may only make it later
    EXPECT_EQ("started\ncommand timed out after 1 s and was killed\n", result.err);
    pid_t background = static_cast<pid_t>(std::stol(result.out));
    EXPECT_TRUE(GoneWithin(background, 20.0)) << background;
}

TEST(TqProcessTest, TimeLimitComesFromTheStoreByDefault) {
    tqtest::TempStore temp("dTQCMDTIMEOUT=1\n");
    auto start = Clock::now();
    Result result = RunShell("exec >&- 2>&-; sleep 30", 0);
    EXPECT_NE(0, result.status);
    EXPECT_LT(SecondsSince(start), 25.0) << "killed, not waited for";
    EXPECT_EQ("command timed out after 1 s and was killed\n", result.err);
}

TEST(TqProcessTest, BackgroundJobHoldingTheOutputDoesNotDelayTheResult) {
    auto start = Clock::now();
    Result result = RunShell("sleep 60 & echo $!; echo done");
    EXPECT_LT(SecondsSince(start), 30.0) << "not held until the background job ends";
    EXPECT_EQ(0, result.status);
    std::istringstream lines(result.out);
    long pid = 0;
    std::string done;
    lines >> pid >> done;
    EXPECT_EQ("done", done);
    if (pid > 0) kill(static_cast<pid_t>(pid), SIGKILL);  // our own grandchild
}

TEST(TqProcessTest, ManyThreadsRunCommandsAtOnce) {
    constexpr int kThreads = 8;
    constexpr int kRuns = 15;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int r = 0; r < kRuns; ++r) {
                const std::string tag = std::to_string(t) + "-" + std::to_string(r);
                Result result = RunShell("echo out-" + tag + "; echo err-" + tag + " >&2; exit " + std::to_string(r % 3));
                EXPECT_EQ("out-" + tag + "\n", result.out);
                EXPECT_EQ("err-" + tag + "\n", result.err);
                if (r % 3 == 0) {
                    EXPECT_EQ(0, result.status);
                } else {
                    EXPECT_EQ(r % 3, result.status);
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
}

TEST(TqProcessTest, ChildSeesOnlyStandardDescriptors) {
    int leaked = open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
    ASSERT_GE(leaked, 0);
    int pipeFds[2];
    ASSERT_EQ(0, pipe(pipeFds));
    // ls is a child of the shell and lists the shell's descriptors.
    Result result = RunShell("ls /proc/$$/fd");
    close(leaked);
    close(pipeFds[0]);
    close(pipeFds[1]);
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("0\n1\n2\n", result.out);
}

TEST(TqProcessTest, StandardInputIsDevNull) {
    Result result = RunShell("readlink /proc/self/fd/0; cat; echo end");
    EXPECT_EQ("/dev/null\nend\n", result.out);
}

TEST(TqProcessTest, EnvironmentIsExactlyPathAndLocale) {
    // The shell's own environment as it was started (the shell adds PWD for
    // its children).
    Result result = RunShell("tr '\\0' '\\n' < /proc/$$/environ");
    EXPECT_EQ("PATH=/usr/sbin:/usr/bin:/sbin:/bin\nLC_ALL=C\n", result.out);
}

TEST(TqProcessTest, ChildHasDefaultSignalMaskAndDispositions) {
    sigset_t block, previous;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGUSR1);
    ASSERT_EQ(0, pthread_sigmask(SIG_BLOCK, &block, &previous));
    struct sigaction ignore = {}, oldPipe = {}, oldUsr2 = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &oldPipe);
    sigaction(SIGUSR2, &ignore, &oldUsr2);

    Result result = RunShell("exec grep -E '^Sig(Blk|Ign):' /proc/self/status");

    sigaction(SIGPIPE, &oldPipe, nullptr);
    sigaction(SIGUSR2, &oldUsr2, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    // glibc's posix_spawn leaves its own two internal signals (32 and 33,
    // below SIGRTMIN) ignored in the child; every other signal is default.
    std::istringstream lines(result.out);
    std::string blockedName, ignoredName;
    unsigned long long blocked = 1, ignored = 1;
    lines >> blockedName >> std::hex >> blocked >> ignoredName >> ignored;
    EXPECT_EQ("SigBlk:", blockedName);
    EXPECT_EQ("SigIgn:", ignoredName);
    EXPECT_EQ(0u, blocked) << result.out;
    const unsigned long long glibcInternal = (1ull << 31) | (1ull << 32);
    EXPECT_EQ(0u, ignored & ~glibcInternal) << result.out;
}

TEST(TqProcessTest, ChildLeadsItsOwnProcessGroup) {
    Result result = RunShell("echo $$; cut -d' ' -f5 /proc/$$/stat");
    std::istringstream lines(result.out);
    long pid = 0, group = -1;
    lines >> pid >> group;
    EXPECT_GT(pid, 0);
    EXPECT_EQ(pid, group);
    EXPECT_NE(static_cast<long>(getpgrp()), group);
}

TEST(TqProcessTest, RefusesCommandsThatCannotRun) {
    std::string out = "x", err;
    EXPECT_EQ(-1, TqProcess::system(nullptr, &out, &err, 10, false));
    EXPECT_EQ("", out);
    EXPECT_NE("", err);
    ShellRunner runner;
    out = "x";
    EXPECT_EQ(-1, runner.run(std::string("echo a\0b", 8), &out, &err, 10));
    EXPECT_EQ("", out);
    EXPECT_EQ("command contains a NUL byte\n", err);
}

class FixedRunner : public CommandRunner {
public:
    int run(const std::string& command, std::string* out, std::string* err, int timeoutSeconds) override {
        *out = "fake:" + command + ":" + std::to_string(timeoutSeconds);
        err->clear();
        return 7;
    }
};

TEST(TqProcessTest, InstalledRunnerReplacesTheRealOne) {
    FixedRunner fake;
    std::string out, err;
    {
        TqProcess::ScopedRunner scope(&fake);
        EXPECT_EQ(7, TqProcess::system("cgcreate -g cpu:/x", &out, &err, 0, false));
        EXPECT_EQ("fake:cgcreate -g cpu:/x:0", out);
        EXPECT_EQ(&fake, TqProcess::setRunner(nullptr));
        EXPECT_EQ(0, TqProcess::system("echo real", &out, &err, 10, false));
        EXPECT_EQ("real\n", out);
        EXPECT_EQ(nullptr, TqProcess::setRunner(&fake));
    }
    EXPECT_EQ(0, TqProcess::system("echo real", &out, &err, 10, false));
    EXPECT_EQ("real\n", out);
}

}  // namespace

TEST(TqProcessTest, StartsSingleProgramsDirectlyAndLeavesShellWorkToTheShell) {
    const auto programs = [](const std::string& word) {
        return word == "cgset" || word == "nproc" || word == "service" || word == "cgdelete" ||
               word == "/usr/bin/env" || word == "cgclassify";
    };
    using Words = std::vector<std::string>;
    struct Case {
        std::string command;
        Words words;  // empty: through the shell
    };
    const std::vector<Case> cases = {
        {"nproc", {"nproc"}},
        {"cgset -r cpu.cfs_quota_us=200000 web", {"cgset", "-r", "cpu.cfs_quota_us=200000", "web"}},
        {"service cgconfig status", {"service", "cgconfig", "status"}},
        {"cgdelete -g cpu:/web\n", {"cgdelete", "-g", "cpu:/web"}},
        {"cgdelete -g cpu:/a -g memory:/a\n", {"cgdelete", "-g", "cpu:/a", "-g", "memory:/a"}},
        {"cgclassify -g cpu:/foo  123 456", {"cgclassify", "-g", "cpu:/foo", "123", "456"}},
        {"cgclassify -g cpu:/foo ", {"cgclassify", "-g", "cpu:/foo"}},
        {" \tnproc\t", {"nproc"}},
        {"/usr/bin/env", {"/usr/bin/env"}},
        // Pipes, lists, expansions, quoting, redirections and multi-line text.
        {"lscgroup | grep -w web", {}},
        {"nproc; nproc", {}},
        {"nproc && nproc", {}},
        {"nproc &", {}},
        {"cgset $X", {}},
        {"cgset `id`", {}},
        {"cgset 'a b'", {}},
        {"cgset \"a\"", {}},
        {"cgset a\\ b", {}},
        {"nproc > /tmp/x", {}},
        {"nproc < /dev/null", {}},
        {"cgset *", {}},
        {"cgset ~", {}},
        {"cgdelete -g cpu:/a\nreboot\n", {}},
        {"(nproc)", {}},
        {"nproc # note", {}},
        {"! nproc", {}},
        // Builtins, unknown words, assignments and empty lines.
        {"exit 3", {}},
        {"echoo hi", {}},
        {"X=1 nproc", {}},
        {"", {}},
        {"\n", {}},
    };
    for (const auto& c : cases) {
        Words words;
        EXPECT_EQ(!c.words.empty(), tqfw::SimpleCommandWords(c.command, programs, &words)) << c.command;
        EXPECT_EQ(c.words, words) << c.command;
    }
    EXPECT_EQ("/bin/sh", tqfw::ProgramPath("/bin/sh"));
    EXPECT_NE("", tqfw::ProgramPath("sh"));
    EXPECT_EQ("", tqfw::ProgramPath("exit"));
    EXPECT_EQ("", tqfw::ProgramPath("/usr/bin"));
    EXPECT_EQ("", tqfw::ProgramPath("no-such-program-here"));
}

TEST(TqProcessTest, DirectlyStartedProgramKeepsStatusAndOutput) {
    // The program is the runner's direct child: its parent is this process.
    Result result = RunShell("cat /proc/self/stat");
    std::istringstream fields(result.out.substr(result.out.rfind(')') + 2));
    std::string state, parent;
    fields >> state >> parent;
    EXPECT_EQ(std::to_string(getpid()), parent);
    EXPECT_EQ(3, RunShell("sh -c 'exit 3'").status);
    EXPECT_EQ(0, RunShell("true").status);
    EXPECT_EQ(1, RunShell("false").status);
}

TEST(TqProcessTest, WaitStatusIsTheCodeOr128PlusTheSignal) {
    EXPECT_EQ(0, tqfw::ResultOfWaitStatus(0));
    EXPECT_EQ(7, tqfw::ResultOfWaitStatus(7 << 8));
    EXPECT_EQ(137, tqfw::ResultOfWaitStatus(SIGKILL));
    EXPECT_EQ(130, tqfw::ResultOfWaitStatus(SIGINT | 0x80));  // with a core dump
    EXPECT_EQ(-1, tqfw::ResultOfWaitStatus(-1));
    EXPECT_EQ(-1, tqfw::ResultOfWaitStatus((SIGSTOP << 8) | 0x7f));  // stopped, not ended
}
