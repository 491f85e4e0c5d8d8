#include "host/EvDebugFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "host/StoreText.h"

namespace tqfw {

namespace {

bool WriteOnce(int fd, const std::string& line) {
    for (;;) {
        const ssize_t n = write(fd, line.data(), line.size());
        if (n < 0 && errno == EINTR) continue;
        return n == static_cast<ssize_t>(line.size());
    }
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace

bool EvDebugFile::append(const std::string& path, std::uint64_t maxBytes, const std::string& line,
                         const RotationNote& note) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!holds(path) && !open(path)) return false;
    struct stat held;
    if (maxBytes > 0 && fstat(m_fd.get(), &held) == 0 && held.st_size > 0 &&
        static_cast<std::uint64_t>(held.st_size) + line.size() > maxBytes) {
        rotate(path, note);
        if (!m_fd.open()) return false;
    }
    return WriteOnce(m_fd.get(), line);
}

bool EvDebugFile::holds(const std::string& path) const {
    if (!m_fd.open() || path != m_path) return false;
    struct stat now;
    return stat(path.c_str(), &now) == 0 && now.st_dev == m_device && now.st_ino == m_inode;
}

bool EvDebugFile::open(const std::string& path) {
    m_fd.reset();
    m_path.clear();
    if (!MakeFolders(FolderOf(path))) return false;
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0644));
    struct stat opened;
    if (!fd.open() || fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) return false;
    m_fd = std::move(fd);
    m_path = path;
    m_device = opened.st_dev;
    m_inode = opened.st_ino;
    return true;
}

void EvDebugFile::rotate(const std::string& path, const RotationNote& note) {
    // Another process may be rotating the same file: the one that gets the
    // lock first renames it, the others find the path naming a new file.
    UniqueFd full(m_fd.release());
    while (flock(full.get(), LOCK_EX) != 0 && errno == EINTR) {
    }
    struct stat now;
    const bool stillThere = stat(path.c_str(), &now) == 0 && now.st_dev == m_device && now.st_ino == m_inode;
    const bool renamed = stillThere && rename(path.c_str(), (path + ".1").c_str()) == 0;
    if (open(path) && renamed && note) WriteOnce(m_fd.get(), note());
    // The lock goes with the old file's descriptor.
}

}  // namespace tqfw
