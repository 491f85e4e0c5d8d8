#include "daemon/TqdPeerProcess.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

namespace tqd {

namespace {

typedef std::chrono::steady_clock Clock;

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using Folder = std::unique_ptr<DIR, DirCloser>;

// The numeric entries of a folder, highest first.
std::vector<pid_t> ProcessIds(const std::string& procRoot) {
    std::vector<pid_t> pids;
    if (const Folder dir{opendir(procRoot.c_str())}) {
        while (const dirent* entry = readdir(dir.get())) {
            const char* name = entry->d_name;
            if (*name < '1' || *name > '9' || std::strspn(name, "0123456789") != std::strlen(name)) continue;
            pids.push_back(static_cast<pid_t>(std::atol(name)));
        }
    }
    std::sort(pids.begin(), pids.end(), std::greater<pid_t>());
    return pids;
}

// Whether one of the process's descriptors links to `link`.
bool Holds(const std::string& fdFolder, const std::string& link) {
    const Folder dir(opendir(fdFolder.c_str()));
    if (!dir) return false;
    char target[64];
    while (const dirent* entry = readdir(dir.get())) {
        if (entry->d_name[0] == '.') continue;
        const ssize_t length = readlinkat(dirfd(dir.get()), entry->d_name, target, sizeof(target));
        if (length == static_cast<ssize_t>(link.size()) &&
            std::memcmp(target, link.data(), link.size()) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string SocketLinkText(std::uint32_t inode) { return "socket:[" + std::to_string(inode) + "]"; }

pid_t FindSocketHolder(std::uint32_t inode, std::chrono::microseconds budget, const std::string& procRoot) {
    if (inode == 0) return 0;
    const Clock::time_point deadline = Clock::now() + budget;
    const std::string link = SocketLinkText(inode);
    for (pid_t pid : ProcessIds(procRoot)) {
        if (Holds(procRoot + "/" + std::to_string(pid) + "/fd", link)) return pid;
        if (Clock::now() >= deadline) break;
    }
    return 0;
}

}  // namespace tqd
