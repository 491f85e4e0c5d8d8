#include "CgroupFs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "../host/UniqueFd.h"

namespace TqRcgCtrllr {
namespace detail {

namespace {
std::atomic<CgroupFs*> g_installed{nullptr};
}  // namespace

int RealCgroupFs::readFile(const std::string& path, std::string* text) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.open()) return errno;
    text->clear();
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got == 0) return 0;
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        text->append(buffer, static_cast<std::size_t>(got));
    }
}

int RealCgroupFs::writeFile(const std::string& path, const std::string& value) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (!fd.open()) return errno;
    ssize_t written;
    do {
        written = ::write(fd.get(), value.data(), value.size());
    } while (written < 0 && errno == EINTR);
    if (written < 0) return errno;
    return static_cast<std::size_t>(written) == value.size() ? 0 : EIO;
}

int RealCgroupFs::makeDir(const std::string& path) {
    return ::mkdir(path.c_str(), 0755) == 0 ? 0 : errno;
}

int RealCgroupFs::removeDir(const std::string& path) {
    return ::rmdir(path.c_str()) == 0 ? 0 : errno;
}

int RealCgroupFs::listDirs(const std::string& path, std::set<std::string>* names) {
    names->clear();
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return errno;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        // A cgroup filesystem tells the type; look only where it does not.
        if (entry->d_type == DT_DIR || (entry->d_type == DT_UNKNOWN && isDir(path + "/" + name))) names->insert(name);
    }
    closedir(dir);
    return 0;
}

bool RealCgroupFs::isDir(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

long RealCgroupFs::onlineProcessors() { return ::sysconf(_SC_NPROCESSORS_ONLN); }

long RealCgroupFs::usableProcessors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return count;
    }
    return onlineProcessors();
}

CgroupFs& InstalledCgroupFs() {
    static RealCgroupFs real;
    CgroupFs* installed = g_installed.load();
    return installed ? *installed : real;
}

bool CgroupFsReplaced() { return g_installed.load() != nullptr; }

ScopedCgroupFs::ScopedCgroupFs(CgroupFs* fs) : m_previous(g_installed.exchange(fs)) {}

ScopedCgroupFs::~ScopedCgroupFs() { g_installed.store(m_previous); }

}  // namespace detail
}  // namespace TqRcgCtrllr
