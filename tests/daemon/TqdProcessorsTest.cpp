// Following the number of online processors.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "daemon/TqdProcessors.h"
#include "tests/support/TestSupport.h"

namespace {

TEST(TqdProcessors, CountsTheKernelsCpuLists) {
    const std::vector<std::pair<std::string, int>> cases = {
        {"0\n", 1},     {"0-1\n", 2},   {"0-3,5,7-8\n", 7}, {"1,3\n", 2}, {"0-63", 64},
        {"", 0},        {"\n", 0},      {"x", 0},           {"0-", 0},    {"3-1", 0},
        {"0,,1", 0},    {"-1", 0},      {"0-1 ", 2},
    };
    for (const auto& c : cases) EXPECT_EQ(c.second, tqd::CountCpuList(c.first)) << "[" << c.first << "]";
}

TEST(TqdProcessors, ReportsEachChangeOnceAndStopsWhenItGoes) {
    tqtest::TempStore store;
    const std::string path = store.dir() + "/online";
    tqtest::WriteFile(path, "0-1\n");
    std::mutex mutex;
    std::vector<std::pair<int, int>> changes;
    {
        tqd::ProcessorWatch watch(path, std::chrono::milliseconds(20), [&](int before, int after) {
            std::lock_guard<std::mutex> lock(mutex);
            changes.emplace_back(before, after);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        tqtest::WriteFile(path, "0\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        tqtest::WriteFile(path, "garbage");  // unreadable counts are skipped
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        tqtest::WriteFile(path, "0-3\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ((std::vector<std::pair<int, int>>{{2, 1}, {1, 4}}), changes);
}

}  // namespace
