// An in-memory cgroup2 filesystem for unit tests: folders with the control
// files the manager uses, a mount table, processes that exist, and chosen
// failures.  It keeps the kernel's rules that matter here: a process lives in
// one group at a time, a quota below 1000 µs is refused, a group with
// processes or child groups cannot be removed.  Its calls are serialised, as
// the manager calls it from several threads at once (re-applying caps).
#pragma once

#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "rcg/CgroupFs.h"

namespace tqtest {

class FakeCgroupFs : public TqRcgCtrllr::detail::CgroupFs {
public:
    // Mounts cgroup2 at `mount` (the only hierarchy unless `moreMounts` adds
    // lines) whose root offers `controllers`.
    explicit FakeCgroupFs(const std::string& mount = "/sys/fs/cgroup",
                          const std::string& controllers = "cpuset cpu io memory pids",
                          const std::string& moreMounts = "")
        : m_install(this) {
        files["/proc/self/mounts"] = "cgroup2 " + mount + " cgroup2 rw,nosuid,nodev 0 0\n" + moreMounts;
        dirs.insert(mount);
        files[mount + "/cgroup.controllers"] = controllers + "\n";
        files[mount + "/cgroup.subtree_control"] = "\n";
        files[mount + "/cgroup.procs"] = "1\n";
    }

    std::set<std::string> dirs;
    std::map<std::string, std::string> files;
    std::map<std::string, int> failures;  // path -> errno of every write or mkdir
    std::set<unsigned int> livePids{1, 4711, 4712, 4713};
    std::vector<std::string> writes;      // "path=value", in order
    long processors = 2;

    int readFile(const std::string& path, std::string* text) override {
        const std::lock_guard<std::recursive_mutex> hold(m_calls);
        auto found = files.find(path);
        if (found == files.end()) return ENOENT;
        *text = found->second;
        return 0;
    }

    int writeFile(const std::string& path, const std::string& value) override {
        const std::lock_guard<std::recursive_mutex> hold(m_calls);
        writes.push_back(path + "=" + value);
        if (failures.count(path)) return failures[path];
        if (!files.count(path)) return ENOENT;
        const std::string name = path.substr(path.rfind('/') + 1);
        if (name == "cgroup.procs") return movePid(path, value);
        if (name == "cpu.max") {
            if (std::strtoull(value.c_str(), nullptr, 10) < 1000) return EINVAL;
            files[path] = value + "\n";
        } else if (name == "cgroup.subtree_control") {
            files[path] = Trim(files[path] + " " + value.substr(1)) + "\n";
            addControllerFiles(path.substr(0, path.rfind('/')), value.substr(1));
        } else if (name == "cpu.weight" || name == "cpu.max.burst" || name == "pids.max" ||
                   name.compare(0, 7, "memory.") == 0) {
            if (!KernelTakes(path, value)) return EINVAL;
            files[path] = value + "\n";
        } else {
            files[path] = value;
        }
        return 0;
    }

    int makeDir(const std::string& path) override {
        const std::lock_guard<std::recursive_mutex> hold(m_calls);
        if (failures.count(path)) return failures[path];
        if (dirs.count(path)) return EEXIST;
        const std::string parent = path.substr(0, path.rfind('/'));
        if (!dirs.count(parent)) return ENOENT;
        dirs.insert(path);
        files[path + "/cgroup.procs"] = "";
        files[path + "/cpu.max"] = "max 100000\n";
        files[path + "/cgroup.subtree_control"] = "\n";
        files[path + "/cgroup.controllers"] = files[parent + "/cgroup.subtree_control"];
        std::istringstream enabled(files[parent + "/cgroup.subtree_control"]);
        std::string controller;
        while (enabled >> controller) addFilesOf(path, controller);
        return 0;
    }

    int removeDir(const std::string& path) override {
        const std::lock_guard<std::recursive_mutex> hold(m_calls);
        if (!dirs.count(path)) return ENOENT;
        for (const auto& dir : dirs) {
            if (dir.compare(0, path.size() + 1, path + "/") == 0) return EBUSY;
        }
        if (!files[path + "/cgroup.procs"].empty()) return EBUSY;
        dirs.erase(path);
        for (auto it = files.begin(); it != files.end();) {
            it = it->first.compare(0, path.size() + 1, path + "/") == 0 ? files.erase(it) : std::next(it);
        }
        return 0;
    }

    bool isDir(const std::string& path) override {
        const std::lock_guard<std::recursive_mutex> hold(m_calls);
        return dirs.count(path) != 0;
    }
    int listDirs(const std::string& path, std::set<std::string>* names) override {
        const std::lock_guard<std::recursive_mutex> hold(m_calls);
        names->clear();
        if (!dirs.count(path)) return ENOENT;
        for (const std::string& dir : dirs) {
            if (dir.size() > path.size() + 1 && dir.compare(0, path.size() + 1, path + "/") == 0 &&
                dir.find('/', path.size() + 1) == std::string::npos)
                names->insert(dir.substr(path.size() + 1));
        }
        return 0;
    }
    long onlineProcessors() override {
        const std::lock_guard<std::recursive_mutex> hold(m_calls);
        return processors;
    }
    long usableProcessors() override {
        const std::lock_guard<std::recursive_mutex> hold(m_calls);
        return processors;
    }

    // The pids listed in the group folder's cgroup.procs.
    std::vector<std::string> procsOf(const std::string& folder) const {
        std::vector<std::string> pids;
        auto found = files.find(folder + "/cgroup.procs");
        if (found == files.end()) return pids;
        std::istringstream lines(found->second);
        std::string line;
        while (std::getline(lines, line)) pids.push_back(line);
        return pids;
    }
    std::string fileText(const std::string& path) const {
        auto found = files.find(path);
        return found == files.end() ? "<missing>" : found->second;
    }

private:
    std::recursive_mutex m_calls;

    // The files a controller puts into a group's folder, as the kernel
    // starts them.
    void addFilesOf(const std::string& folder, const std::string& controller) {
        static const std::map<std::string, std::map<std::string, std::string>> kFiles = {
            {"cpu", {{"cpu.weight", "100\n"}, {"cpu.max.burst", "0\n"}}},
            {"memory",
             {{"memory.max", "max\n"}, {"memory.high", "max\n"}, {"memory.swap.max", "max\n"},
              {"memory.current", "0\n"}, {"memory.events", "low 0\nhigh 0\nmax 0\noom 0\noom_kill 0\n"}}},
            {"pids", {{"pids.max", "max\n"}, {"pids.current", "0\n"}}},
            {"cpuset", {{"cpuset.cpus", "\n"}, {"cpuset.cpus.effective", "0-1\n"}}},
        };
        const auto found = kFiles.find(controller);
        if (found == kFiles.end()) return;
        for (const auto& file : found->second) files.emplace(folder + "/" + file.first, file.second);
    }

    // Enabling a controller below `folder` gives its children its files.
    void addControllerFiles(const std::string& folder, const std::string& controller) {
        for (const std::string& dir : dirs) {
            if (dir.size() > folder.size() + 1 && dir.compare(0, folder.size() + 1, folder + "/") == 0 &&
                dir.find('/', folder.size() + 1) == std::string::npos)
                addFilesOf(dir, controller);
        }
    }

    // The kernel's range checks of the property files: a weight of 1 to
    // 10000, a burst no larger than the quota, a number or "max".
    bool KernelTakes(const std::string& path, const std::string& value) {
        const std::string name = path.substr(path.rfind('/') + 1);
        if (value == "max") return name != "cpu.weight" && name != "cpu.max.burst";
        if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos) return false;
        const unsigned long long number = std::strtoull(value.c_str(), nullptr, 10);
        if (name == "cpu.weight") return number >= 1 && number <= 10000;
        if (name == "cpu.max.burst") {
            const std::string quota = fileText(path.substr(0, path.rfind('/')) + "/cpu.max");
            return number == 0 || (quota.compare(0, 3, "max") != 0 &&
                                   number <= std::strtoull(quota.c_str(), nullptr, 10));
        }
        return true;
    }

    static std::string Trim(const std::string& text) {
        const std::size_t first = text.find_first_not_of(" \n");
        return first == std::string::npos ? "" : text.substr(first, text.find_last_not_of(" \n") - first + 1);
    }

    int movePid(const std::string& path, const std::string& value) {
        const unsigned int pid = static_cast<unsigned int>(std::strtoul(value.c_str(), nullptr, 10));
        if (!livePids.count(pid)) return ESRCH;
        for (auto& file : files) {
            if (file.first.size() < 13 || file.first.compare(file.first.size() - 13, 13, "/cgroup.procs") != 0)
                continue;
            std::string kept, line;
            std::istringstream lines(file.second);
            while (std::getline(lines, line)) {
                if (line != value) kept += line + "\n";
            }
            file.second = kept;
        }
        files[path] += value + "\n";
        return 0;
    }

    TqRcgCtrllr::detail::ScopedCgroupFs m_install;
};

}  // namespace tqtest
