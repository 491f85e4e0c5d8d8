#include "tests/support/TestSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <linux/magic.h>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tqtest {

// ---- ScriptedRunner -----------------------------------------------------

ScriptedRunner::ScriptedRunner() : m_install(this) {}
ScriptedRunner::~ScriptedRunner() = default;

ScriptedRunner& ScriptedRunner::on(const std::string& prefix, int status, const std::string& out,
                                   const std::string& err) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies.push_back(Reply{prefix, status, out, err, false});
    return *this;
}

ScriptedRunner& ScriptedRunner::always(const std::string& prefix, int status, const std::string& out,
                                       const std::string& err) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies.push_back(Reply{prefix, status, out, err, true});
    return *this;
}

int ScriptedRunner::run(const std::string& command, std::string* out, std::string* err, int) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_commands.push_back(command);
    for (auto it = m_replies.begin(); it != m_replies.end(); ++it) {
        if (command.compare(0, it->prefix.size(), it->prefix) != 0) continue;
        Reply reply = *it;
        if (!reply.sticky) m_replies.erase(it);
        if (out) *out = reply.out;
        if (err) *err = reply.err;
        return reply.status;
    }
    if (out) out->clear();
    if (err) err->clear();
    return 0;
}

std::vector<std::string> ScriptedRunner::commands() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_commands;
}

void ScriptedRunner::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_commands.clear();
    m_replies.clear();
}

// ---- files and the temporary store -------------------------------------

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
}

namespace {
void RemoveTree(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    if (dir) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            std::string child = path + "/" + name;
            struct stat st;
            if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                RemoveTree(child);
            } else {
                unlink(child.c_str());
            }
        }
        closedir(dir);
    }
    rmdir(path.c_str());
}
}  // namespace

TempStore::TempStore(const std::string& initialText) {
    char pattern[] = "/tmp/tqtest-store-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    m_dir = pattern;
    m_path = m_dir + "/tq.conf";
    const char* previous = getenv("TQ_CONFIG");
    if (previous) {
        m_hadConfig = true;
        m_previousConfig = previous;
    }
    // The log folder is named first so that a test's own text can override it.
    write("[Base]\nsTQLOGDIR=" + m_dir + "/log\n" + initialText);
    setenv("TQ_CONFIG", m_path.c_str(), 1);
}

TempStore::~TempStore() {
    if (m_hadConfig) {
        setenv("TQ_CONFIG", m_previousConfig.c_str(), 1);
    } else {
        unsetenv("TQ_CONFIG");
    }
    RemoveTree(m_dir);
}

std::string TempStore::text() const { return ReadFile(m_path); }
void TempStore::write(const std::string& text) const { WriteFile(m_path, text); }

std::string TempStore::logPath() const {
    const char* instance = getenv("TQ_INSTANCE");
    return m_dir + "/log/" + (instance && *instance ? instance : "Instance001") + ".log";
}

std::string TempStore::log() const { return ReadFile(logPath()); }

// ---- environment, sockets, processors ---------------------------------

EnvGuard::EnvGuard(const char* name, const char* value) : m_name(name) {
    const char* old = getenv(name);
    m_had = old != nullptr;
    if (m_had) m_old = old;
    if (value) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
}

EnvGuard::~EnvGuard() {
    if (m_had) {
        setenv(m_name.c_str(), m_old.c_str(), 1);
    } else {
        unsetenv(m_name.c_str());
    }
}

DefaultFolderLog::DefaultFolderLog()
    : m_instance("tqtest_" + std::to_string(getpid())), m_focus("TQ_INSTANCE", m_instance.c_str()) {
    struct stat st;
    m_hadFolder = stat("/var/log/tq", &st) == 0;
}

DefaultFolderLog::~DefaultFolderLog() {
    unlink(path().c_str());
    if (!m_hadFolder) rmdir("/var/log/tq");
}

std::string DefaultFolderLog::path() const { return "/var/log/tq/" + m_instance + ".log"; }

SocketPair::SocketPair() {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0) {
        ours = ends[0];
        theirs = ends[1];
    }
}

SocketPair::~SocketPair() {
    closeOurs();
    closeTheirs();
}

void SocketPair::closeOurs() {
    if (ours >= 0) close(ours);
    ours = -1;
}

void SocketPair::closeTheirs() {
    if (theirs >= 0) close(theirs);
    theirs = -1;
}

void FillConnection(int fd) {
    const int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    const std::vector<char> filler(4096, 'x');
    while (send(fd, filler.data(), filler.size(), MSG_DONTWAIT) > 0) {
    }
    while (send(fd, filler.data(), 1, MSG_DONTWAIT) > 0) {
    }
}

long ProcessorCount() {
    // The code under test asks `nproc`, so the tests do too; the affinity
    // mask (what nproc counts) stands in only when it cannot be run.
    long count = 0;
    if (FILE* pipe = popen("nproc", "r")) {
        if (fscanf(pipe, "%ld", &count) != 1) count = 0;
        if (pclose(pipe) != 0) count = 0;
    }
    if (count > 0) return count;
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) return CPU_COUNT(&set);
    return sysconf(_SC_NPROCESSORS_ONLN);
}

std::vector<std::string> LineWords(const std::string& listing, const std::string& group) {
    std::istringstream lines(listing);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, group.size() + 1, group + " ") != 0) continue;
        std::istringstream words(line);
        std::vector<std::string> found;
        for (std::string word; words >> word;) found.push_back(word);
        return found;
    }
    return {};
}

int TemporaryFiles(const std::string& folder) {
    int count = 0;
    DIR* dir = opendir(folder.c_str());
    while (const dirent* entry = dir ? readdir(dir) : nullptr) {
        count += std::string(entry->d_name).find(".tmp-") != std::string::npos ? 1 : 0;
    }
    if (dir) closedir(dir);
    return count;
}

std::string ListLine(const std::string& listing, const std::string& group, std::size_t columns) {
    std::string joined;
    std::vector<std::string> words = LineWords(listing, group);
    if (words.size() > columns) words.resize(columns);
    for (const std::string& word : words) joined += (joined.empty() ? "" : " ") + word;
    return joined;
}

// ---- the real cgroup hierarchy ----------------------------------------

bool SystemTestsRequired() {
    const char* value = getenv("TQ_REQUIRE_SYSTEM_TESTS");
    return value && std::string(value) == "1";
}

namespace {

bool FileSystemIs(const char* path, long magic) {
    struct statfs fs;
    return statfs(path, &fs) == 0 && static_cast<long>(fs.f_type) == magic;
}

bool ListsWord(const std::string& text, const std::string& word) {
    std::istringstream words(text);
    for (std::string each; words >> each;) {
        if (each == word) return true;
    }
    return false;
}

std::string Trim(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

std::string OwnBase() { return "tqtest_" + std::to_string(getpid()) + "_base"; }

// The test's base on cgroup2, made with cpu enabled for its children.
bool MakeBase() {
    const std::string base = std::string(kCgroup2Mount) + "/" + OwnBase();
    if (mkdir(base.c_str(), 0755) != 0 && errno != EEXIST) return false;
    std::ofstream(std::string(kCgroup2Mount) + "/cgroup.subtree_control") << "+cpu" << std::flush;
    std::ofstream(base + "/cgroup.subtree_control") << "+cpu" << std::flush;
    return true;
}

}  // namespace

bool OnCgroup2() {
    return !FileSystemIs(kCpuRoot, CGROUP_SUPER_MAGIC) && FileSystemIs(kCgroup2Mount, CGROUP2_SUPER_MAGIC);
}

std::string GroupsRoot() {
    return OnCgroup2() ? std::string(kCgroup2Mount) + "/" + OwnBase() : std::string(kCpuRoot);
}

std::string GroupFolder(const std::string& group) { return GroupsRoot() + "/" + group; }

std::string BaseLine() { return OnCgroup2() ? "sTQRCGMGRCGROUP2BASE=" + OwnBase() + "\n" : ""; }

std::string BaseSection() {
    const std::string line = BaseLine();
    return line.empty() ? "" : "[Base]\n" + line;
}

bool MakeGroupFolder(const std::string& group) {
    if (OnCgroup2() && !MakeBase()) return false;
    return mkdir(GroupFolder(group).c_str(), 0755) == 0;
}

std::string CapSetting(const std::string& group) {
    const std::string folder = GroupFolder(group);
    if (OnCgroup2()) return Trim(ReadFile(folder + "/cpu.max"));
    const std::string quota = Trim(ReadFile(folder + "/cpu.cfs_quota_us"));
    return (quota == "-1" ? "max" : quota) + " " + Trim(ReadFile(folder + "/cpu.cfs_period_us"));
}

void WriteCap(const std::string& group, long long quotaUs) {
    const std::string folder = GroupFolder(group);
    if (OnCgroup2()) {
        WriteFile(folder + "/cpu.max", std::to_string(quotaUs) + " 100000");
        return;
    }
    WriteFile(folder + "/cpu.cfs_period_us", "100000");
    WriteFile(folder + "/cpu.cfs_quota_us", std::to_string(quotaUs));
}

std::vector<pid_t> GroupProcesses(const std::string& group) {
    std::istringstream lines(ReadFile(GroupFolder(group) + "/cgroup.procs"));
    std::vector<pid_t> pids;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) pids.push_back(static_cast<pid_t>(std::stol(line)));
    }
    return pids;
}

std::string SystemTestBlocker() {
    if (geteuid() != 0) return "not running as root";
    if (OnCgroup2()) {
        if (!ListsWord(ReadFile(std::string(kCgroup2Mount) + "/cgroup.controllers"), "cpu"))
            return std::string(kCgroup2Mount) + "/cgroup.controllers does not list cpu";
        return "";
    }
    struct statfs fs;
    if (statfs(kCpuRoot, &fs) != 0) return std::string(kCpuRoot) + " is missing";
    if (fs.f_type != CGROUP_SUPER_MAGIC) return std::string(kCpuRoot) + " is not a cgroup v1 hierarchy";
    if (access((std::string(kCpuRoot) + "/cpu.cfs_quota_us").c_str(), F_OK) != 0)
        return std::string(kCpuRoot) + " has no CFS bandwidth control";
    if (access("/usr/bin/cgcreate", X_OK) != 0) return "the cgroup tools are not installed";
    return "";
}

std::string OwnedGroupName(const std::string& suffix) {
    return "tqtest_" + std::to_string(getpid()) + "_" + suffix;
}

GroupCleanup::GroupCleanup(std::vector<std::string> groups) : m_groups(std::move(groups)) {
    for (const auto& group : m_groups) removeGroup(group);
}

GroupCleanup::~GroupCleanup() {
    for (auto it = m_groups.rbegin(); it != m_groups.rend(); ++it) removeGroup(*it);
    removeBase();
}

void GroupCleanup::removeBase() {
    if (!OnCgroup2()) return;
    // The base and its dummy group are this test's own: gone once empty.
    removeGroup("tqrcgmgrdummy");
    rmdir(GroupsRoot().c_str());
}

void GroupCleanup::add(const std::string& group) {
    removeGroup(group);
    m_groups.push_back(group);
}

void GroupCleanup::removeGroup(const std::string& group) {
    if (group.empty() || group.find("..") != std::string::npos) return;
    const std::string path = GroupFolder(group);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return;
    // Child groups first.
    if (DIR* dir = opendir(path.c_str())) {
        std::vector<std::string> children;
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (entry->d_type == DT_DIR && name != "." && name != "..") children.push_back(name);
        }
        closedir(dir);
        for (const auto& child : children) removeGroup(group + "/" + child);
    }
    // Processes still inside are this test's own children: back to the root group.
    const std::string rootProcs = std::string(OnCgroup2() ? kCgroup2Mount : kCpuRoot) + "/cgroup.procs";
    for (pid_t pid : GroupProcesses(group)) {
        std::ofstream root(rootProcs);
        root << pid << std::endl;
    }
    for (int attempt = 0; attempt < 50 && rmdir(path.c_str()) != 0 && errno == EBUSY; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

BusyChild::BusyChild() : m_pid(fork()) {
    if (m_pid < 0) throw std::runtime_error("fork failed");
    if (m_pid == 0) {
        volatile unsigned long spin = 0;
        for (;;) ++spin;
    }
}

BusyChild::~BusyChild() {
    kill(m_pid, SIGKILL);
    int status;
    while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
}

BusyLoops::BusyLoops(long count) {
    if (count <= 0) count = std::max(2L, ProcessorCount());
    for (long i = 0; i < count; ++i) m_loops.emplace_back(new BusyChild);
}

std::list<unsigned int> BusyLoops::pids() const {
    std::list<unsigned int> pids;
    for (const auto& loop : m_loops) pids.push_back(static_cast<unsigned int>(loop->pid()));
    return pids;
}

SleepingChild::SleepingChild() : m_pid(fork()) {
    if (m_pid < 0) throw std::runtime_error("fork failed");
    if (m_pid == 0) {
        for (;;) pause();
    }
}

SleepingChild::~SleepingChild() {
    kill(m_pid, SIGKILL);
    while (waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

double ProcessCpuSeconds(pid_t pid) {
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    // Fields after the command name, which is in parentheses and may hold blanks.
    std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) utime = std::stoull(field);
        if (index == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

double MeasureCpuPercentOfMachine(pid_t pid, double seconds) {
    const auto start = std::chrono::steady_clock::now();
    const double before = ProcessCpuSeconds(pid);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double after = ProcessCpuSeconds(pid);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return 100.0 * (after - before) / (wall * double(ProcessorCount()));
}

long long ThrottledPeriods(const std::string& folder) {
    std::istringstream stat(ReadFile(folder + "/cpu.stat"));
    std::string key;
    long long value = 0;
    while (stat >> key >> value) {
        if (key == "nr_throttled") return value;
    }
    return -1;
}

bool ThrottlingGrows(const std::string& folder, long long before, double seconds) {
    const auto start = std::chrono::steady_clock::now();
    while (ThrottledPeriods(folder) <= before) {
        if (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() > seconds) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

std::string CpuCgroupOf(pid_t pid) {
    std::istringstream lines(ReadFile("/proc/" + std::to_string(pid) + "/cgroup"));
    std::string line;
    while (std::getline(lines, line)) {
        // "<id>:<controllers>:<path>"
        std::size_t first = line.find(':');
        std::size_t second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        std::string controllers = line.substr(first + 1, second - first - 1);
        if (OnCgroup2()) {
            if (line.compare(0, 3, "0::") != 0) continue;
            const std::string path = line.substr(3), base = "/" + OwnBase();
            return path.compare(0, base.size() + 1, base + "/") == 0 ? path.substr(base.size()) : path;
        }
        std::istringstream list(controllers);
        std::string controller;
        while (std::getline(list, controller, ',')) {
            if (controller == "cpu") return line.substr(second + 1);
        }
    }
    return "";
}

}  // namespace tqtest
