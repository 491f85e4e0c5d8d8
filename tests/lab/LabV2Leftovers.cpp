// After the last test: nothing this test process made is left in the
// unified hierarchy (its groups, or a base or dummy group it created).
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/lab/LabV2Support.h"

namespace {

using namespace tqlab;

// Folders below `path` (down to `depth` levels) whose name starts with `prefix`.
void FindOwned(const std::string& path, const std::string& prefix, int depth, std::vector<std::string>* found) {
    DIR* dir = opendir(path.c_str());
    if (!dir) return;
    std::vector<std::string> children;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (entry->d_type == DT_DIR && name != "." && name != "..") children.push_back(name);
    }
    closedir(dir);
    for (const auto& name : children) {
        if (name.compare(0, prefix.size(), prefix) == 0) found->push_back(path + "/" + name);
        if (depth > 1) FindOwned(path + "/" + name, prefix, depth - 1, found);
    }
}

class NothingLeftBehind : public ::testing::Environment {
public:
    void SetUp() override {
        m_hadBase = IsFolder(std::string(kMount) + "/" + kDefaultBase);
        m_hadDummy = IsFolder(GroupFolder(kDummy));
    }
    void TearDown() override {
        if (!V2HostProblem().empty()) return;  // every test has failed loudly already
        std::vector<std::string> left;
        FindOwned(kMount, OwnedName(""), 3, &left);
        if (!m_hadDummy && IsFolder(GroupFolder(kDummy))) left.push_back(GroupFolder(kDummy));
        if (!m_hadBase && IsFolder(std::string(kMount) + "/" + kDefaultBase))
            left.push_back(std::string(kMount) + "/" + kDefaultBase);
        std::string list;
        for (const auto& path : left) list += " " + path;
        EXPECT_EQ(list, "") << "control groups left behind by the tests";
    }

private:
    bool m_hadBase = false;
    bool m_hadDummy = false;
};

const ::testing::Environment* const kNothingLeftBehind =
    ::testing::AddGlobalTestEnvironment(new NothingLeftBehind);

}  // namespace
