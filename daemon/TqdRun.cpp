#include "daemon/TqdRun.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "daemon/TqdAudit.h"
#include "daemon/TqdLibrary.h"
#include "daemon/TqdNotify.h"
#include "daemon/TqdMetricsFile.h"
#include "daemon/TqdProcessors.h"
#include "daemon/TqdPeer.h"
#include "daemon/TqdProcess.h"
#include "daemon/TqdServer.h"
#include "host/EvDebug.h"
#include "host/TQPlatformInfo.h"

namespace tqd {

namespace {

// The kernel's list of the processors online now.
constexpr char kOnlineProcessors[] = "/sys/devices/system/cpu/online";

std::string WithoutLineEnd(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

std::string Join(const std::vector<std::string>& items, const char* separator) {
    std::string text;
    for (const auto& item : items) {
        if (!text.empty()) text += separator;
        text += item;
    }
    return text;
}

std::string UidListText(const std::set<uid_t>& uids) {
    std::string text = "root";
    for (uid_t uid : uids) {
        if (uid != 0) text += ", " + std::to_string(uid);
    }
    return text;
}

// Applies the remembered caps again now, and again whenever the number of
// online processors changes; null for a library that remembers none.  The
// watch reads its first count before the start's re-apply, so that a change
// during a long start is not missed (the library runs one re-apply at a
// time: the change's waits for the start's).
std::unique_ptr<ProcessorWatch> KeepCapsTrue(const HandlerLibrary& library) {
    const RcgMgrReapplyFunction reapply = library.reapply();
    if (!reapply) return nullptr;
    std::unique_ptr<ProcessorWatch> watch(
        new ProcessorWatch(kOnlineProcessors, std::chrono::seconds(1), [reapply](int before, int after) {
            const std::string change = "processors online changed from " + std::to_string(before) + " to " +
                                       std::to_string(after);
            reapply(change.c_str());
        }));
    reapply(nullptr);
    return watch;
}

const char* SignalName(std::uint32_t signal) {
    switch (signal) {
        case SIGTERM:
            return "SIGTERM";
        case SIGINT:
            return "SIGINT";
        default:
            return "a signal";
    }
}

// The daemon changes its folder to "/": a relative store path must not
// change its meaning.
void MakeStorePathAbsolute() {
    const char* config = getenv("TQ_CONFIG");
    if (!config || !*config || config[0] == '/') return;
    char folder[PATH_MAX];
    if (!getcwd(folder, sizeof(folder))) return;
    const std::string absolute = std::string(folder) + "/" + config;
    setenv("TQ_CONFIG", absolute.c_str(), 1);
}

// The temporary files of writes to the store that a crash cut short.
void RemoveStaleStoreFiles() {
    TQPlatformInfo store;
    store.setFocus(TQPI_Focus::getFocus());
    store.removeStaleTemporaries(kStaleTemporarySeconds);
}

}  // namespace

int PrintVersion(const CommandLine& commandLine) {
    const StoredSettings stored = ReadStoredSettings();
    const std::string path = ResolveLibraryPath(commandLine.library, stored.hasLibrary ? stored.library : "",
                                                ExecutableFolder(), FileExists);
    std::string line, problem;
    if (!ReadLibraryVersion(path, &line, &problem)) {
        std::fprintf(stderr, "tqd: %s\n", problem.c_str());
        return 1;
    }
    std::fwrite(line.data(), 1, line.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

// Up to 1024 connections may still be sending their frames, besides the
// workers' connections, the listeners and the commands' pipes: the usual soft
// limit of 1024 descriptors would be reached first.  Raised within the hard
// limit; a failure only leaves the old limit.
static void RaiseDescriptorLimit() {
    constexpr rlim_t kWanted = 4096;
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= kWanted) return;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? kWanted : std::min(kWanted, limit.rlim_max);
    setrlimit(RLIMIT_NOFILE, &limit);
}

namespace {

// The connections tqd may hold at once: still sending their frame, waiting
// for a worker, and with a worker.
std::size_t HeldConnections(const Settings& settings) { return kPendingLimit + kQueueLimit + settings.workers; }

// What tqd prepares before it may become a daemon; a failure up to here is
// printed to standard error.
struct Startup {
    Settings settings;
    MetricsSettings metricsSettings;
    HandlerLibrary library;
    std::string version;
    std::vector<Listener> listeners;
    std::vector<std::string> skipped;
    sigset_t stopSignals;
};

// Reads the store and the command line, loads the library, opens the
// listeners and blocks the stop signals.
bool Prepare(const CommandLine& commandLine, Startup* startup, std::string* problem) {
    // A store that cannot be used (too large, not a file) stops the start
    // rather than leaving tqd on defaults.
    const StoredSettings stored = ReadStoredSettings();
    if (!stored.problem.empty()) {
        *problem = stored.problem;
        return false;
    }
    RemoveStaleStoreFiles();
    Settings& settings = startup->settings;
    if (!MakeSettings(commandLine, stored, ExecutableFolder(), FileExists, &settings, problem)) return false;
    if (!MakeMetricsSettings(stored, &startup->metricsSettings, problem)) return false;
    if (!startup->library.open(settings.library, problem)) return false;
    if (ReadLibraryVersion(settings.library, &startup->version, problem)) {
        startup->version = WithoutLineEnd(startup->version);
    } else {
        startup->version = "no version line";
    }
    if (!OpenListeners(settings.addresses, settings.port, &startup->listeners, &startup->skipped, problem,
                       ListenBacklog(HeldConnections(settings)))) {
        return false;
    }
    // Stop signals are taken through a descriptor only; every thread started
    // later inherits the mask.
    sigemptyset(&startup->stopSignals);
    sigaddset(&startup->stopSignals, SIGTERM);
    sigaddset(&startup->stopSignals, SIGINT);
    if (sigprocmask(SIG_BLOCK, &startup->stopSignals, nullptr) != 0) {
        *problem = std::string("cannot block the stop signals: ") + std::strerror(errno);
        return false;
    }
    return true;
}

void LogListening(EvDebug& log, const Startup& startup) {
    for (const auto& address : startup.skipped) {
        log.Info(kLogTag, "IPv6 is not available on this host: not listening on %s", address.c_str());
    }
    const std::string capLine = BacklogCapLine(BacklogCap(), HeldConnections(startup.settings));
    if (!capLine.empty()) log.Info(kLogTag, "%s", capLine.c_str());
    std::vector<std::string> where;
    for (const auto& listener : startup.listeners) where.push_back(listener.address);
    const Settings& settings = startup.settings;
    log.Info(kLogTag, "tqd listening on %s with %u workers; serving %s; library %s (%s)",
             Join(where, ", ").c_str(), settings.workers, UidListText(settings.allowedUids).c_str(),
             settings.library.c_str(), startup.version.c_str());
}

void LogMetricsFile(EvDebug& log, const MetricsSettings& metricsSettings) {
    const bool folderExists = metricsSettings.folder.empty() || FolderExists(metricsSettings.folder);
    log.Info(kLogTag, "%s", MetricsFileLine(metricsSettings, folderExists).c_str());
}

// Takes the stop signal, stops accepting and lets the requests in flight
// finish; leaves at once when they do not within the drain time.
int Stop(EvDebug& log, Server& server, int stopFd, PidFile& pidFile) {
    signalfd_siginfo info;
    std::memset(&info, 0, sizeof(info));
    while (read(stopFd, &info, sizeof(info)) < 0 && errno == EINTR) {
    }
    log.Info(kLogTag,
             "tqd stopping on %s: no new connections; waiting up to %d seconds for %zu requests in flight",
             SignalName(info.ssi_signo), kDrainSeconds, server.inFlight());
    if (!server.drain(std::chrono::seconds(kDrainSeconds))) {
        log.Error(kLogTag, "tqd stopped with %zu requests still running after %d seconds", server.inFlight(),
                  kDrainSeconds);
        pidFile.remove();
        std::fflush(nullptr);
        // Workers still inside the handler cannot be joined: leave at once.
        _exit(0);
    }
    log.Info(kLogTag, "tqd stopped");
    return 0;
}

// Serves on the listeners until a stop signal comes on `stopFd`.
int Serve(EvDebug& log, Startup& startup, Daemonizer& daemonizer, int stopFd, PidFile& pidFile) {
    // Every request is audited and counted; the counts and the groups'
    // figures go to the metrics file.  Both outlive the server.
    const auto stats = std::make_shared<RequestStats>();
    Audit audit(*stats);
    LogMetricsFile(log, startup.metricsSettings);
    MetricsWriter metrics(startup.metricsSettings, stats);

    ServeContext context;
    context.handler = audit.wrap(startup.library.handler());
    context.events = &audit;
    const std::set<uid_t> allowed = startup.settings.allowedUids;
    context.identifyPeer = [allowed](int fd) { return IdentifyPeer(fd, allowed); };
    Server server(std::move(startup.listeners), context, startup.settings.workers);
    daemonizer.ready();
    std::string problem;
    if (!NotifyReady(&problem)) log.Error(kLogTag, "%s", problem.c_str());

    server.acceptUntil(stopFd);
    return Stop(log, server, stopFd, pidFile);
}

}  // namespace

int RunDaemon(const CommandLine& commandLine) {
    EvDebug log(nullptr);
    Daemonizer daemonizer;
    bool daemonized = false;
    auto fail = [&](const std::string& problem) {
        log.Error(kLogTag, "tqd cannot start: %s", problem.c_str());
        if (daemonized) {
            daemonizer.failed(problem);
        } else {
            std::fprintf(stderr, "tqd: %s\n", problem.c_str());
        }
        return 1;
    };

    signal(SIGPIPE, SIG_IGN);
    RaiseDescriptorLimit();
    MakeStorePathAbsolute();
    Startup startup;
    std::string problem;
    if (!Prepare(commandLine, &startup, &problem)) return fail(problem);
    const Settings& settings = startup.settings;

    if (!settings.foreground) {
        const int status = daemonizer.start();
        if (status >= 0) return status;  // the original process
        daemonized = true;
    }

    PidFile pidFile;
    if (!settings.pidFile.empty() && !pidFile.write(settings.pidFile, &problem)) return fail(problem);

    UniqueFd stopFd(signalfd(-1, &startup.stopSignals, SFD_CLOEXEC));
    if (stopFd.get() < 0) return fail(std::string("cannot watch the stop signals: ") + std::strerror(errno));

    if (settings.foreground) setenv("TQ_LOG_STDERR", "1", 1);
    const std::unique_ptr<ProcessorWatch> processorWatch = KeepCapsTrue(startup.library);
    LogListening(log, startup);
    return Serve(log, startup, daemonizer, stopFd.get(), pidFile);
}

}  // namespace tqd
