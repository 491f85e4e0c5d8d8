#include "daemon/TqdConfig.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "host/StoreText.h"
#include "host/TQPlatformInfo.h"
#include "host/TqdPort.h"

namespace tqd {

namespace {

std::string Trim(const std::string& text) {
    const char* blanks = " \t";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    const std::size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

// Digits only (blanks around them allowed), as the store reads numbers, and
// at most `limit`.
bool ParseBoundedDecimal(const std::string& text, unsigned long long limit, unsigned long long* value) {
    std::uint64_t number = 0;
    if (!tqfw::ParseUnsignedDecimal(text, &number) || number > limit) return false;
    *value = number;
    return true;
}

}  // namespace

bool ParseWorkers(const std::string& text, unsigned* workers) {
    unsigned long long value = 0;
    if (!ParseBoundedDecimal(text, kMaxWorkers, &value) || value == 0) return false;
    *workers = static_cast<unsigned>(value);
    return true;
}

bool ParseUidList(const std::string& text, std::set<uid_t>* uids, std::string* problem) {
    std::set<uid_t> result;
    std::size_t position = 0;
    while (position < text.size()) {
        const std::size_t end = text.find_first_of(" \t,", position);
        const std::string item =
            text.substr(position, end == std::string::npos ? std::string::npos : end - position);
        position = end == std::string::npos ? text.size() : end + 1;
        if (item.empty()) continue;
        unsigned long long value = 0;
        // (uid_t)-1 means "no user" to the kernel: never a valid entry.
        if (!ParseBoundedDecimal(item, UINT_MAX - 1ull, &value)) {
            *problem = "\"" + item + "\" is not a uid";
            return false;
        }
        result.insert(static_cast<uid_t>(value));
    }
    uids->swap(result);
    return true;
}

bool ParseAddressList(const std::string& text, std::vector<std::string>* addresses, std::string* problem) {
    std::vector<std::string> result;
    std::size_t position = 0;
    while (position <= text.size()) {
        const std::size_t end = text.find(',', position);
        std::string item =
            Trim(text.substr(position, end == std::string::npos ? std::string::npos : end - position));
        position = end == std::string::npos ? text.size() + 1 : end + 1;
        if (item.empty()) continue;
        if (item.size() > 2 && item.front() == '[' && item.back() == ']') {
            item = item.substr(1, item.size() - 2);
        }
        unsigned char binary[sizeof(in6_addr)];
        if (inet_pton(AF_INET, item.c_str(), binary) != 1 && inet_pton(AF_INET6, item.c_str(), binary) != 1) {
            *problem = "\"" + item + "\" is not a numeric IPv4 or IPv6 address";
            return false;
        }
        bool seen = false;
        for (const auto& known : result) seen = seen || known == item;
        if (!seen) result.push_back(item);
    }
    if (result.empty()) {
        *problem = "no address is given";
        return false;
    }
    addresses->swap(result);
    return true;
}

std::string ResolveLibraryPath(const std::string& option, const std::string& stored,
                               const std::string& executableFolder,
                               const std::function<bool(const std::string&)>& exists) {
    if (!option.empty()) return option;
    if (!stored.empty()) return stored;
    const std::string beside = executableFolder + "/" + kLibraryFileName;
    if (exists(beside)) return beside;
    const std::string installed = executableFolder + "/../lib/" + kLibraryFileName;
    if (exists(installed)) return installed;
    return kLibraryFileName;
}

namespace {

// The port: the option, else the stored value, else the default.
bool PortSetting(const std::string& option, const StoredSettings& stored, std::uint16_t* port,
                 std::string* problem) {
    if (!option.empty()) {
        if (ParseTqdListenPort(option, port)) return true;
        *problem = "--port " + option + " is not a port number (1-65535)";
        return false;
    }
    const TqdPortValue value = ReadTqdPortText(stored.hasPort, stored.port);
    if (!value.found || ParseTqdListenPort(value.text, port)) return true;
    *problem = TqdStoredPortProblem(value.text);
    return false;
}

// The addresses: the option, else the stored value when not blank, else
// the default ones.
bool AddressSetting(const std::string& option, const StoredSettings& stored, std::vector<std::string>* addresses,
                    std::string* problem) {
    std::string why;
    if (!option.empty()) {
        if (ParseAddressList(option, addresses, &why)) return true;
        *problem = "--address " + option + ": " + why;
        return false;
    }
    if (stored.hasAddresses && !Trim(stored.addresses).empty()) {
        if (ParseAddressList(stored.addresses, addresses, &why)) return true;
        *problem = std::string("Session/") + kAddressKey + "=" + stored.addresses + ": " + why;
        return false;
    }
    ParseAddressList(kDefaultAddresses, addresses, &why);
    return true;
}

// The number of workers: the option, else the stored value, else the
// default.
bool WorkerSetting(const std::string& option, const StoredSettings& stored, unsigned* workers,
                   std::string* problem) {
    const std::string range = " is not a worker count (1-" + std::to_string(kMaxWorkers) + ")";
    if (!option.empty()) {
        if (ParseWorkers(option, workers)) return true;
        *problem = "--workers " + option + range;
        return false;
    }
    if (!stored.hasWorkers || ParseWorkers(stored.workers, workers)) return true;
    *problem = std::string("Session/") + kWorkersKey + "=" + stored.workers + range;
    return false;
}

}  // namespace

bool MakeSettings(const CommandLine& commandLine, const StoredSettings& stored,
                  const std::string& executableFolder, const std::function<bool(const std::string&)>& exists,
                  Settings* settings, std::string* problem) {
    Settings result;
    if (!PortSetting(commandLine.port, stored, &result.port, problem) ||
        !AddressSetting(commandLine.addresses, stored, &result.addresses, problem) ||
        !WorkerSetting(commandLine.workers, stored, &result.workers, problem)) {
        return false;
    }
    std::string why;
    if (stored.hasAllowedUids && !ParseUidList(stored.allowedUids, &result.allowedUids, &why)) {
        *problem = std::string("Session/") + kAllowedUidsKey + "=" + stored.allowedUids + ": " + why;
        return false;
    }

    result.library = ResolveLibraryPath(commandLine.library, stored.hasLibrary ? stored.library : "",
                                        executableFolder, exists);
    result.foreground = commandLine.foreground;
    // In front a pid file is written only when asked for; a daemon always
    // writes one.
    result.pidFile = commandLine.pidFile;
    if (result.pidFile.empty() && !result.foreground) result.pidFile = kDefaultPidFile;
    *settings = result;
    return true;
}

StoredSettings ReadStoredSettings() {
    TQPlatformInfo store;
    store.setFocus(TQPI_Focus::getFocus());
    StoredSettings stored;
    std::vector<std::string> values;
    std::vector<bool> found;
    if (!store.getStrings("Session",
                          {kTqdPortKey, kAddressKey, kWorkersKey, kAllowedUidsKey, kLibraryKey, kMetricsDirKey,
                           kMetricsIntervalKey},
                          values, found)) {
        stored.problem = store.lastErrorText();
        return stored;
    }
    bool* has[] = {&stored.hasPort,    &stored.hasAddresses,  &stored.hasWorkers,        &stored.hasAllowedUids,
                   &stored.hasLibrary, &stored.hasMetricsDir, &stored.hasMetricsInterval};
    std::string* value[] = {&stored.port,    &stored.addresses,  &stored.workers,        &stored.allowedUids,
                            &stored.library, &stored.metricsDir, &stored.metricsInterval};
    for (std::size_t index = 0; index < values.size(); ++index) {
        *has[index] = found[index];
        *value[index] = values[index];
    }
    // A blank library value counts as absent.
    if (Trim(stored.library).empty()) stored.hasLibrary = false;
    return stored;
}

std::string ExecutableFolder() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) return ".";
    const std::string executable(path, static_cast<std::size_t>(length));
    const std::size_t slash = executable.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return executable.substr(0, slash);
}

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace tqd
