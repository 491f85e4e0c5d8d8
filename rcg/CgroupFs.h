// The cgroup filesystem as the cgroup2 groups and the figures reader use it:
// the one boundary between them and the kernel, which also tells how many
// processors there are.  Unit tests install a fake; everything else uses the
// real filesystem.
#pragma once

#include <set>
#include <string>

namespace TqRcgCtrllr {
namespace detail {

class CgroupFs {
public:
    virtual ~CgroupFs() = default;
    // The whole file into *text; 0 or the errno of the failure.
    virtual int readFile(const std::string& path, std::string* text) = 0;
    // Writes `value` with one write(2), as the kernel's control files expect
    // one value per write; 0 or the errno of the failure.
    virtual int writeFile(const std::string& path, const std::string& value) = 0;
    // mkdir(2) and rmdir(2); 0 or the errno of the failure.
    virtual int makeDir(const std::string& path) = 0;
    virtual int removeDir(const std::string& path) = 0;
    virtual bool isDir(const std::string& path) = 0;
    // The names of the folders directly inside `path` into *names; 0 or the
    // errno of the failure.
    virtual int listDirs(const std::string& path, std::set<std::string>* names) = 0;
    // The processors online now.
    virtual long onlineProcessors() = 0;
    // The processors this process may run on, as nproc counts them.
    virtual long usableProcessors() = 0;
};

// The real filesystem.
class RealCgroupFs : public CgroupFs {
public:
    int readFile(const std::string& path, std::string* text) override;
    int writeFile(const std::string& path, const std::string& value) override;
    int makeDir(const std::string& path) override;
    int removeDir(const std::string& path) override;
    bool isDir(const std::string& path) override;
    int listDirs(const std::string& path, std::set<std::string>* names) override;
    long onlineProcessors() override;
    long usableProcessors() override;
};

// The installed filesystem: the real one unless a test installed another.
CgroupFs& InstalledCgroupFs();
// Whether a test installed one.
bool CgroupFsReplaced();

// Installs `fs` for the length of a scope (tests); null keeps the real one.
class ScopedCgroupFs {
public:
    explicit ScopedCgroupFs(CgroupFs* fs);
    ~ScopedCgroupFs();
    ScopedCgroupFs(const ScopedCgroupFs&) = delete;
    ScopedCgroupFs& operator=(const ScopedCgroupFs&) = delete;

private:
    CgroupFs* m_previous;
};

}  // namespace detail
}  // namespace TqRcgCtrllr
