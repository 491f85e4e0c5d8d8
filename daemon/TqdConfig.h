// Settings of the daemon tqd: what the command line gives, what the
// configuration store gives, and the pure rules that turn both into the
// settings tqd runs with.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "host/TqdPort.h"

namespace tqd {

constexpr unsigned kDefaultWorkers = 16;
constexpr unsigned kMaxWorkers = 1024;
// Complete requests that may wait for a worker.
constexpr std::size_t kQueueLimit = 1024;
// Accepted connections that may be sending their request frame at once.
constexpr std::size_t kPendingLimit = 1024;
// A whole request frame must arrive within this time after the accept.
constexpr int kFrameSeconds = 15;
// Requests in flight may finish within this time after a stop signal.
constexpr int kDrainSeconds = 15;
// At start, the store's temporary files older than this are removed: no
// write takes that long.
constexpr int kStaleTemporarySeconds = 60;
constexpr const char kDefaultAddresses[] = "127.0.0.1,::1";
constexpr const char kDefaultPidFile[] = "/run/tqd.pid";
constexpr const char kLibraryFileName[] = "libtqrcgmgr.so";
constexpr const char kLogTag[] = "tqd";

// Configuration keys, all in section "Session"; the port's key is
// kTqdPortKey (host/TqdPort.h).
constexpr const char kAddressKey[] = "sTQDADDRESS";
constexpr const char kWorkersKey[] = "dTQDWORKERS";
constexpr const char kAllowedUidsKey[] = "sTQDALLOWEDUIDS";
constexpr const char kLibraryKey[] = "sTQDLIBRARY";
constexpr const char kMetricsDirKey[] = "sTQDMETRICSDIR";
constexpr const char kMetricsIntervalKey[] = "dTQDMETRICSINTERVAL";

// What the command line says; empty texts mean "not given".
struct CommandLine {
    std::string port;
    std::string addresses;
    std::string workers;
    std::string library;
    std::string pidFile;
    bool foreground = false;
};

// What the configuration store holds; `has*` tell whether a value was found.
struct StoredSettings {
    bool hasPort = false;
    std::string port;
    bool hasAddresses = false;
    std::string addresses;
    bool hasWorkers = false;
    std::string workers;
    bool hasAllowedUids = false;
    std::string allowedUids;
    bool hasLibrary = false;
    std::string library;
    // The metrics file (see TqdMetrics.h).
    bool hasMetricsDir = false;
    std::string metricsDir;
    bool hasMetricsInterval = false;
    std::string metricsInterval;
    // Not empty when the store cannot be used (too large, not a file,
    // unreadable): why, naming the file.
    std::string problem;
};

struct Settings {
    std::uint16_t port = kTqdDefaultPort;
    std::vector<std::string> addresses;
    unsigned workers = kDefaultWorkers;
    std::set<uid_t> allowedUids;  // besides root
    std::string library;
    std::string pidFile;  // empty: none
    bool foreground = false;
};

// A worker count: decimal digits (blanks around allowed), 1 to kMaxWorkers.
bool ParseWorkers(const std::string& text, unsigned* workers);
// Decimal uids separated by blanks, tabs or commas; empty items are skipped.
// On a bad item returns false and names it in *problem.
bool ParseUidList(const std::string& text, std::set<uid_t>* uids, std::string* problem);
// Numeric IPv4 or IPv6 addresses separated by commas (blanks around items
// allowed; "[::1]" is read as "::1"); at least one, no duplicates kept.
bool ParseAddressList(const std::string& text, std::vector<std::string>* addresses, std::string* problem);

// The library to load: the option, else the stored value, else the library
// beside the executable when it exists, else ../lib/ of the executable's
// folder when it exists, else the bare file name for the loader's search.
std::string ResolveLibraryPath(const std::string& option, const std::string& stored,
                               const std::string& executableFolder,
                               const std::function<bool(const std::string&)>& exists);

// Combines the command line and the store.  Returns false with a message
// naming the bad value.
bool MakeSettings(const CommandLine& commandLine, const StoredSettings& stored,
                  const std::string& executableFolder, const std::function<bool(const std::string&)>& exists,
                  Settings* settings, std::string* problem);

// Reads the "Session" values of the current instance's store, in one pass.
StoredSettings ReadStoredSettings();
// The folder of the running executable ("." when unknown).
std::string ExecutableFolder();
// Whether a file exists at `path`.
bool FileExists(const std::string& path);

}  // namespace tqd
