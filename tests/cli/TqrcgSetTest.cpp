// tqrcg set, run --set, and the properties and resource figures of list,
// --json and top: the frames sent to a fake daemon, the usage errors that
// send nothing, and the columns and keys read from an in-memory cgroup2
// filesystem.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/TqrcgListText.h"
#include "cli/TqrcgTopView.h"
#include "tests/cli/TqrcgInProcess.h"
#include "tests/support/FakeCgroupFs.h"
#include "tests/support/FakeTqd.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace tqrcg;
using tqtest::FakeTqd;
using tqtest::LineWords;
using tqtest::StoreForPort;
using tqtest::TempStore;
using Outcome = tqtest::TqrcgOutcome;

Outcome Tqrcg(std::vector<std::string> args) { return tqtest::TqrcgInProcess(std::move(args)); }

// The request type of a frame and the bytes of its pid slots, where a
// settings request carries its settings.
std::uint32_t TypeOf(const std::string& frame) {
    std::uint32_t type = 0;
    std::memcpy(&type, frame.data() + 296, 4);
    return type;
}
std::string SlotsOf(const std::string& frame, std::size_t length) { return frame.substr(304, length); }

constexpr std::uint32_t kCreate = 0, kCap = 2, kAssign = 3, kSet = 16;

TEST(TqrcgSet, SettingsGoInOneRequestInTheirShortForm) {
    struct Case {
        std::vector<std::string> args;
        std::string slots;
    };
    using std::string;
    const std::vector<Case> cases = {
        {{"set", "g", "memory.max=64M", "cpu.weight=300"}, string("M64M\0W300\0", 10)},
        {{"set", "g", "mem=67108864", "pids=max"}, string("M64M\0Pmax\0", 10)},
        {{"set", "g", "memory.max=10%"}, string("M10%\0", 5)},
        {{"set", "g", "cpuset.cpus=1,0", "cpu.max.burst=20"}, string("C0-1\0B20\0", 9)},
        {{"set", "g", "swap=0", "memory.high=1g"}, string("S0\0H1G\0", 7)},
    };
    for (const Case& c : cases) {
        FakeTqd tqd;
        TempStore store(StoreForPort(tqd.port()));
        const Outcome outcome = Tqrcg(c.args);
        EXPECT_EQ(0, outcome.status) << c.args[2] << outcome.err;
        EXPECT_EQ("", outcome.out + outcome.err);
        const auto frames = tqd.frames();
        ASSERT_EQ(1u, frames.size()) << c.args[2];
        EXPECT_EQ(kSet, TypeOf(frames[0]));
        EXPECT_EQ(c.slots, SlotsOf(frames[0], c.slots.size())) << c.args[2];
    }
}

TEST(TqrcgSet, BadSettingsAreUsageErrorsAndSendNothing) {
    const std::vector<std::vector<std::string>> cases = {
        {"set", "g"},
        {"set"},
        {"set", "g", "memory.max=-5"},
        {"set", "g", "memory.max=0"},
        {"set", "g", "memory.max=99999999999T"},
        {"set", "g", "memory.max=64Q"},
        {"set", "g", "memory.max=101%"},
        {"set", "g", "cpu.weight=0"},
        {"set", "g", "cpu.weight=10001"},
        {"set", "g", "pids.max=0"},
        {"set", "g", "cpuset.cpus=3-1"},
        {"set", "g", "frobs=1"},
        {"set", "g", "memory.max"},
        {"set", "g", "mem=64M", "memory.max=1G"},
        {"set", "g", "memory.max=64M", "cpu.weight=0"},
        {"run", "--set", "cpu.weight=0", "g", "50", "--", "true"},
        {"run", "--set", "g", "50", "--", "true"},
    };
    FakeTqd tqd;
    TempStore store(StoreForPort(tqd.port()));
    for (const auto& args : cases) {
        std::string shown;
        for (const auto& arg : args) shown += arg + " ";
        const Outcome outcome = Tqrcg(args);
        EXPECT_EQ(2, outcome.status) << shown << outcome.err;
        EXPECT_EQ(0u, outcome.err.rfind("tqrcg: ", 0)) << shown << outcome.err;
    }
    EXPECT_TRUE(tqd.frames().empty()) << "a refused setting sends nothing";
}

TEST(TqrcgSet, TheDaemonsRefusalIsPrintedAndExitsWithOne) {
    FakeTqd tqd({FakeTqd::Text("[Win32 error 1168] The resource group g doesn't exist.")});
    TempStore store(StoreForPort(tqd.port()));
    const Outcome outcome = Tqrcg({"set", "g", "pids.max=20"});
    EXPECT_EQ(1, outcome.status);
    EXPECT_EQ("tqrcg: The resource group g doesn't exist.\n", outcome.err);
}

TEST(TqrcgSet, RunSetsThePropertiesAfterTheCapAndBeforeTheCommandStarts) {
    FakeTqd tqd;
    TempStore store(StoreForPort(tqd.port()));
    const Outcome outcome =
        Tqrcg({"run", "--set", "memory.max=64M", "--set", "pids=20", "g", "50", "--", "sh", "-c", "exit 4"});
    EXPECT_EQ(4, outcome.status) << outcome.err;
    const auto frames = tqd.frames();
    ASSERT_EQ(4u, frames.size());
    EXPECT_EQ((std::vector<std::uint32_t>{kCreate, kCap, kSet, kAssign}),
              (std::vector<std::uint32_t>{TypeOf(frames[0]), TypeOf(frames[1]), TypeOf(frames[2]),
                                          TypeOf(frames[3])}));
    EXPECT_EQ(std::string("M64M\0P20\0", 9), SlotsOf(frames[2], 9));
}

TEST(TqrcgSet, RunDoesNotStartTheCommandWhenTheSettingsAreRefused) {
    FakeTqd tqd({FakeTqd::Text("Success"), FakeTqd::Text("Success"), FakeTqd::Text("no memory hierarchy")});
    TempStore store(StoreForPort(tqd.port()));
    const std::string marker = store.dir() + "/ran";
    const Outcome outcome = Tqrcg({"run", "--set", "mem=64M", "g", "50", "--", "touch", marker});
    EXPECT_EQ(1, outcome.status);
    EXPECT_EQ("tqrcg: no memory hierarchy\n", outcome.err);
    EXPECT_EQ(3u, tqd.frames().size());
    EXPECT_NE(0, access(marker.c_str(), F_OK));
}

TEST(TqrcgSet, HelpNamesEveryPropertyAndItsShortName) {
    const Outcome help = Tqrcg({"set", "--help"});
    EXPECT_EQ(0, help.status);
    for (const auto& info : TqRcgCtrllr::RcgProperties()) {
        EXPECT_NE(std::string::npos, help.out.find(std::string(info.name) + " (" + info.alias + ")"))
            << info.name;
    }
    EXPECT_NE(std::string::npos, Tqrcg({"run", "--help"}).out.find("--set"));
}

// ---- the figures -------------------------------------------------------------

const char kBase[] = "/sys/fs/cgroup/tqrcg";

// A cgroup2 host with "web" (64M of memory allowed, 12M in use, two OOM
// kills, 3 of 20 tasks, weight 300, pressure) and "plain" (a cap only, no
// memory or pids figures).
class TqrcgPropertyFigures : public ::testing::Test {
protected:
    TqrcgPropertyFigures()
        : m_store(
              "[Base]\nsTQRCGMGRGROUPS= web plain\nsTQRCGMGRCAPS= web=25\n"
              "sTQRCGMGRSETTINGS= web|memory.max=64M web|cpu.weight=300 web|pids.max=30\n") {
        m_fs.dirs.insert(kBase);
        for (const char* name : {"web", "plain"}) {
            const std::string folder = std::string(kBase) + "/" + name;
            m_fs.dirs.insert(folder);
            m_fs.files[folder + "/cpu.max"] = "50000 100000\n";
            m_fs.files[folder + "/cgroup.procs"] = "4711\n";
            m_fs.files[folder + "/cpu.stat"] = "usage_usec 0\nnr_periods 0\nnr_throttled 0\nthrottled_usec 0\n";
        }
        const std::string web = std::string(kBase) + "/web";
        m_fs.files[web + "/memory.max"] = "67108864\n";
        m_fs.files[web + "/memory.current"] = "12582912\n";
        m_fs.files[web + "/memory.peak"] = "33554432\n";
        m_fs.files[web + "/memory.events"] = "low 0\nhigh 0\nmax 9\noom 2\noom_kill 2\n";
        m_fs.files[web + "/memory.pressure"] = "some avg10=1.50 avg60=0.00 avg300=0.00 total=1\n";
        m_fs.files[web + "/cpu.pressure"] = "some avg10=4.00 avg60=0.00 avg300=0.00 total=1\n";
        m_fs.files[web + "/cpu.weight"] = "300\n";
        m_fs.files[web + "/pids.max"] = "20\n";  // not what was asked
        m_fs.files[web + "/pids.current"] = "3\n";
    }
    tqtest::TempStore m_store;
    tqtest::FakeCgroupFs m_fs;
};

TEST_F(TqrcgPropertyFigures, ListAddsTheResourceColumnsAndTheSettingsBesideTheKernel) {
    const Outcome outcome = Tqrcg({"list"});
    ASSERT_EQ(0, outcome.status) << outcome.err;
    EXPECT_EQ((std::vector<std::string>{"GROUP", "CAP", "PROCESSES", "REMEMBERED", "THROTTLED", "THROTTLED-TIME",
                                        "MEMORY", "PEAK", "OOM-KILLS", "TASKS", "CPU-PRESSURE", "MEM-PRESSURE",
                                        "SETTINGS"}),
              LineWords(outcome.out, "GROUP"));
    EXPECT_EQ((std::vector<std::string>{"web", "25%", "1", "25%", "0%", "0.00s", "12.0M", "32.0M", "2", "3", "4%",
                                        "1.5%", "memory.max=64M", "cpu.weight=300", "pids.max=30[kernel:20]"}),
              LineWords(outcome.out, "web"))
        << outcome.out;
    EXPECT_EQ((std::vector<std::string>{"plain", "25%", "1", "-", "0%", "0.00s", "-", "-", "-", "-", "-", "-", "-"}),
              LineWords(outcome.out, "plain"))
        << outcome.out;
}

TEST_F(TqrcgPropertyFigures, ListJsonHasTheFiguresAndEachPropertyAskedAndHeld) {
    const Outcome outcome = Tqrcg({"list", "--json"});
    ASSERT_EQ(0, outcome.status) << outcome.err;
    const nlohmann::json groups = nlohmann::json::parse(outcome.out);
    ASSERT_EQ(2u, groups.size());
    const nlohmann::json& web = groups[0];
    EXPECT_EQ(12582912, web["memory_bytes"]);
    EXPECT_EQ(33554432, web["memory_peak_bytes"]);
    EXPECT_EQ(2, web["oom_kills"]);
    EXPECT_EQ(3, web["tasks"]);
    EXPECT_DOUBLE_EQ(4.0, web["cpu_pressure_some_avg10_percent"].get<double>());
    EXPECT_DOUBLE_EQ(1.5, web["memory_pressure_some_avg10_percent"].get<double>());
    struct Expected {
        const char* property;
        nlohmann::json asked, kernel;
    };
    for (const Expected& e : std::vector<Expected>{{"memory.max", "64M", "67108864"},
                                                   {"cpu.weight", "300", "300"},
                                                   {"pids.max", "30", "20"},
                                                   {"memory.high", nullptr, nullptr},
                                                   {"cpuset.cpus", nullptr, nullptr}}) {
        EXPECT_EQ(e.asked, web["properties"][e.property]["asked"]) << e.property;
        EXPECT_EQ(e.kernel, web["properties"][e.property]["kernel"]) << e.property;
    }
    EXPECT_EQ(TqRcgCtrllr::kRcgPropertyCount, web["properties"].size());
    const nlohmann::json& plain = groups[1];
    for (const char* key : {"memory_bytes", "memory_peak_bytes", "oom_kills", "tasks",
                            "cpu_pressure_some_avg10_percent", "memory_pressure_some_avg10_percent"})
        EXPECT_TRUE(plain[key].is_null()) << key;
}

TEST_F(TqrcgPropertyFigures, TopShowsMemoryAndTasksAgainstTheirLimits) {
    RecordedFigures sample;
    std::string problem;
    ASSERT_TRUE(TqRcgCtrllr::ReadRecordedFigures(&sample, &problem)) << problem;
    const std::vector<TopRow> rows = MakeFirstTopRows(sample);
    ASSERT_EQ(2u, rows.size());
    EXPECT_EQ("12.0M/64.0M", rows[0].memory);
    EXPECT_EQ("2", rows[0].oomKills);
    EXPECT_EQ("3/20", rows[0].tasks);
    EXPECT_EQ("4%", rows[0].cpuPressure);
    EXPECT_EQ("", rows[1].memory);
    TopHeader header;
    header.processors = 2;
    const std::vector<std::string> lines = FormatTopScreen(rows, header, 160, 0);
    EXPECT_EQ((std::vector<std::string>{"GROUP", "CAP", "USE", "USE", "OF", "CAP", "THROTTLED", "PROCESSES",
                                        "MEMORY", "OOM", "TASKS", "CPU-PSI", "MEM-PSI"}),
              LineWords(lines[1], "GROUP"));
    EXPECT_EQ("-", LineWords(lines[3], "plain").back());
    for (int width : {40, 80}) {
        for (const std::string& line : FormatTopScreen(rows, header, width, 0))
            EXPECT_LE(line.size(), static_cast<std::size_t>(width));
    }
}

TEST(TqrcgSettingText, TheKernelsValueIsShownWhereItDiffers) {
    using TqRcgCtrllr::RcgProperty;
    struct Case {
        const char* setting;
        RcgProperty property;
        const char* kernel;
        const char* shown;
    };
    const std::vector<Case> cases = {
        {"memory.max=64M", RcgProperty::kMemoryMax, "67108864", "memory.max=64M"},
        {"memory.max=64M", RcgProperty::kMemoryMax, "33554432", "memory.max=64M[kernel:32M]"},
        {"memory.max=10%", RcgProperty::kMemoryMax, "1717985280", "memory.max=10%[1.6G]"},
        {"memory.max=max", RcgProperty::kMemoryMax, "max", "memory.max=max"},
        {"cpu.weight=300", RcgProperty::kCpuWeight, "300", "cpu.weight=300"},
        {"pids.max=20", RcgProperty::kPidsMax, "", "pids.max=20[kernel:?]"},
        {"cpuset.cpus=0-1", RcgProperty::kCpus, "0", "cpuset.cpus=0-1[kernel:0]"},
        {"memory.max=64M", RcgProperty::kMemoryMax, "99999999999999999999999",
         "memory.max=64M[kernel:99999999999999999999999]"},
        {"memory.max=1%", RcgProperty::kMemoryMax, "max", "memory.max=1%[max]"},
    };
    for (const Case& c : cases) {
        TqRcgCtrllr::RcgSetting setting;
        std::string problem;
        ASSERT_TRUE(TqRcgCtrllr::ParseRcgSetting(c.setting, &setting, &problem)) << problem;
        TqRcgCtrllr::GroupFigures figures;
        figures.properties[static_cast<std::size_t>(c.property)] = c.kernel;
        EXPECT_EQ(c.shown, SettingText(setting, figures)) << c.setting << " / " << c.kernel;
    }
}

}  // namespace
