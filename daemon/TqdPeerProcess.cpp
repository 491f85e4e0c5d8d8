#include "daemon/TqdPeerProcess.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace tqd {

namespace {

// Descriptors read between two looks at the budget.
constexpr int kDescriptorsPerLook = 32;

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using Folder = std::unique_ptr<DIR, DirCloser>;

// The numeric entries of `procRoot` with their owners, until the budget is
// spent.
std::vector<ProcessEntry> Processes(const std::string& procRoot, SearchBudget& budget) {
    std::vector<ProcessEntry> processes;
    const Folder dir{opendir(procRoot.c_str())};
    if (!dir) return processes;
    int sinceLook = 0;
    while (const dirent* entry = readdir(dir.get())) {
        const char* name = entry->d_name;
        if (*name < '1' || *name > '9' || std::strspn(name, "0123456789") != std::strlen(name)) continue;
        struct stat folder;
        if (fstatat(dirfd(dir.get()), name, &folder, 0) != 0) continue;
        processes.push_back(ProcessEntry{static_cast<pid_t>(std::atol(name)), folder.st_uid});
        if (++sinceLook == kDescriptorsPerLook * 4) {
            sinceLook = 0;
            if (budget.spent()) break;
        }
    }
    return processes;
}

enum class Holding { Yes, No, OutOfTime };

// Whether one of the process's descriptors links to `link`.
Holding Holds(const std::string& fdFolder, const std::string& link, SearchBudget& budget) {
    const Folder dir(opendir(fdFolder.c_str()));
    if (!dir) return Holding::No;
    char target[64];
    int sinceLook = 0;
    while (const dirent* entry = readdir(dir.get())) {
        if (++sinceLook == kDescriptorsPerLook) {
            sinceLook = 0;
            if (budget.spent()) return Holding::OutOfTime;
        }
        if (entry->d_name[0] == '.') continue;
        const ssize_t length = readlinkat(dirfd(dir.get()), entry->d_name, target, sizeof(target));
        if (length == static_cast<ssize_t>(link.size()) &&
            std::memcmp(target, link.data(), link.size()) == 0) {
            return Holding::Yes;
        }
    }
    return Holding::No;
}

}  // namespace

std::string SocketLinkText(std::uint32_t inode) { return "socket:[" + std::to_string(inode) + "]"; }

std::vector<pid_t> SearchOrder(std::vector<ProcessEntry> processes, uid_t uid) {
    std::sort(processes.begin(), processes.end(), [uid](const ProcessEntry& a, const ProcessEntry& b) {
        const bool aOwned = a.owner == uid, bOwned = b.owner == uid;
        if (aOwned != bOwned) return aOwned;
        return a.pid > b.pid;
    });
    std::vector<pid_t> order;
    order.reserve(processes.size());
    for (const ProcessEntry& process : processes) order.push_back(process.pid);
    return order;
}

pid_t FindSocketHolder(std::uint32_t inode, uid_t uid, SearchBudget& budget, const std::string& procRoot) {
    if (inode == 0) return 0;
    const std::string link = SocketLinkText(inode);
    for (pid_t pid : SearchOrder(Processes(procRoot, budget), uid)) {
        if (budget.spent()) break;
        switch (Holds(procRoot + "/" + std::to_string(pid) + "/fd", link, budget)) {
            case Holding::Yes:
                return pid;
            case Holding::OutOfTime:
                return 0;
            case Holding::No:
                break;
        }
    }
    return 0;
}

pid_t FindSocketHolder(std::uint32_t inode, uid_t uid, std::chrono::microseconds budget,
                       const std::string& procRoot) {
    SearchBudget clock(budget);
    return FindSocketHolder(inode, uid, clock, procRoot);
}

}  // namespace tqd
