#include "tests/lab/LabV2Support.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "host/TQPlatformInfo.h"
#include "rcg/RcgHierarchy.h"
#include "tests/support/TestSupport.h"

extern char** environ;

namespace tqlab {

namespace {

typedef std::chrono::steady_clock Clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool ListsWord(const std::string& text, const std::string& word) {
    std::istringstream words(text);
    std::string each;
    while (words >> each) {
        if (each == word) return true;
    }
    return false;
}

// A cgroup v1 mount that carries cpu: the product would take its v1 path.
bool HaveV1CpuHierarchy() {
    return !TqRcgCtrllr::ParseCgroupMounts(tqtest::ReadFile("/proc/self/mounts")).cpuV1.empty();
}

void MoveToRootGroup(const std::string& folder) {
    for (pid_t pid : ProcessesIn(folder)) {
        std::ofstream root(std::string(kMount) + "/cgroup.procs");
        root << pid << std::endl;
    }
}

// rmdir, retried while the kernel still counts exiting processes.
void RemoveFolder(const std::string& path) {
    for (int attempt = 0; attempt < 100 && rmdir(path.c_str()) != 0 && errno == EBUSY; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<std::string> ChildFolders(const std::string& path) {
    std::vector<std::string> children;
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (entry->d_type == DT_DIR && name != "." && name != "..") children.push_back(name);
        }
        closedir(dir);
    }
    return children;
}

// Waits for a child; its status as a shell shows it, or -1 after `seconds`.
int WaitFor(pid_t pid, double seconds) {
    const auto start = Clock::now();
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) return -1;
        if (SecondsSince(start) > seconds) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

std::string V2HostProblem() {
    if (geteuid() != 0) return "not running as root";
    struct statfs fs;
    if (statfs(kMount, &fs) != 0 || fs.f_type != CGROUP2_SUPER_MAGIC)
        return std::string(kMount) + " is not a cgroup2 mount";
    if (!ListsWord(tqtest::ReadFile(std::string(kMount) + "/cgroup.controllers"), "cpu"))
        return std::string(kMount) + "/cgroup.controllers does not list cpu";
    if (HaveV1CpuHierarchy()) return "a cgroup v1 hierarchy carries cpu here";
    for (const char* program : {"tqd", "tqrcg"}) {
        const std::string path = tqdtest::BuildDir() + "/" + program;
        if (access(path.c_str(), X_OK) != 0) return path + " is missing (set TQ_BUILD_DIR)";
    }
    return "";
}

std::string OwnedName(const std::string& suffix) {
    return "tqlab_" + std::to_string(getpid()) + "_" + suffix;
}

std::string GroupFolder(const std::string& name, const std::string& base) {
    const std::size_t prefix = name.find(":/");
    return std::string(kMount) + "/" + base + "/" + (prefix == std::string::npos ? name : name.substr(prefix + 2));
}

bool IsFolder(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

std::string ControlValue(const std::string& folder, const std::string& file) {
    std::istringstream lines(tqtest::ReadFile(folder + "/" + file));
    std::string line;
    std::getline(lines, line);
    return line;
}

long OnlineProcessors() { return sysconf(_SC_NPROCESSORS_ONLN); }

std::string CpuMaxFor(int percent) {
    return std::to_string(static_cast<long long>(percent) * OnlineProcessors() * 1000) + " 100000";
}

std::vector<pid_t> ProcessesIn(const std::string& folder) {
    std::istringstream lines(tqtest::ReadFile(folder + "/cgroup.procs"));
    std::vector<pid_t> pids;
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty()) pids.push_back(static_cast<pid_t>(std::stol(line)));
    }
    return pids;
}

bool Holds(const std::string& folder, pid_t pid) {
    for (pid_t each : ProcessesIn(folder)) {
        if (each == pid) return true;
    }
    return false;
}

bool SubtreeEnables(const std::string& folder, const std::string& name) {
    return ListsWord(tqtest::ReadFile(folder + "/cgroup.subtree_control"), name);
}

std::string CgroupOf(pid_t pid) {
    std::istringstream lines(tqtest::ReadFile("/proc/" + std::to_string(pid) + "/cgroup"));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, 3, "0::") == 0) return line.substr(3);
    }
    return "";
}

void RemoveFolderTree(const std::string& path) {
    if (!IsFolder(path)) return;
    for (const auto& child : ChildFolders(path)) RemoveFolderTree(path + "/" + child);
    MoveToRootGroup(path);
    RemoveFolder(path);
}

// ---- V2Cleanup ---------------------------------------------------------

V2Cleanup::V2Cleanup(const std::string& base) : m_base(base) {
    std::size_t slash = 0;
    do {
        slash = base.find('/', slash + 1);
        const std::string part = base.substr(0, slash);
        if (!IsFolder(std::string(kMount) + "/" + part)) m_created.push_back(part);
    } while (slash != std::string::npos);
    const std::string dummy = base + "/" + kDummy;
    if (!IsFolder(std::string(kMount) + "/" + dummy)) m_created.push_back(dummy);
}

V2Cleanup::~V2Cleanup() {
    for (auto it = m_groups.rbegin(); it != m_groups.rend(); ++it) RemoveFolderTree(GroupFolder(*it, m_base));
    // The dummy group and the base folders: emptied of the test's processes,
    // never of other groups.
    for (auto it = m_created.rbegin(); it != m_created.rend(); ++it) {
        const std::string path = std::string(kMount) + "/" + *it;
        MoveToRootGroup(path);
        if (IsFolder(path)) RemoveFolder(path);
    }
}

void V2Cleanup::group(const std::string& name) {
    RemoveFolderTree(GroupFolder(name, m_base));
    m_groups.push_back(name);
}

// ---- processes -----------------------------------------------------------

pid_t EndedPid() {
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) _exit(0);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return pid;
}

// ---- tqd and tqrcg -------------------------------------------------------

LabTqd::LabTqd(const std::string& baseText) : m_tqd("sTQDHOST=127.0.0.1\n", {}, baseText) {}

std::vector<std::string> LabTqd::storedGroups() const {
    TQPlatformInfo store;
    store.setFocus(TQPI_Focus::getFocus());
    std::string value;
    store.getString("Base", "sTQRCGMGRGROUPS", value);
    std::istringstream words(value);
    std::vector<std::string> names;
    std::string name;
    while (words >> name) names.push_back(name);
    return names;
}

Outcome LabTqd::tqrcg(const std::vector<std::string>& args) {
    const std::string prefix = m_tqd.store().dir() + "/tqrcg" + std::to_string(++m_runs);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (prefix + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (prefix + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> words{tqdtest::BuildDir() + "/tqrcg"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    Outcome outcome;
    if (failed != 0) return outcome;
    outcome.status = WaitFor(pid, 60);
    if (outcome.status == -1) {
        kill(pid, SIGKILL);
        WaitFor(pid, 5);
    }
    outcome.out = tqtest::ReadFile(prefix + ".out");
    outcome.err = tqtest::ReadFile(prefix + ".err");
    return outcome;
}

// ---- CPU use ---------------------------------------------------------------

double UsageSeconds(const std::string& folder) {
    std::istringstream lines(tqtest::ReadFile(folder + "/cpu.stat"));
    std::string key;
    long long value = 0;
    while (lines >> key >> value) {
        if (key == "usage_usec") return static_cast<double>(value) / 1e6;
    }
    return -1;
}

double GroupPercentOfMachine(const std::string& folder, double seconds) {
    const auto start = Clock::now();
    const double before = UsageSeconds(folder);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double used = UsageSeconds(folder) - before;
    const double wall = SecondsSince(start);
    return 100.0 * used / (wall * static_cast<double>(OnlineProcessors()));
}

}  // namespace tqlab
