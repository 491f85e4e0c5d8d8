// The metrics file of tqd: the counts, the text format, its settings and
// its atomic write.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "daemon/TqdMetrics.h"
#include "daemon/TqdMetricsFile.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace tqd;
using TqRcgCtrllr::CpuTimeSource;
using TqRcgCtrllr::GroupFigures;

// The samples of `name` (lines that start with it and a '{' or ' ').
std::vector<std::string> Samples(const std::string& text, const std::string& name) {
    std::vector<std::string> found;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, name.size(), name) == 0 && line.size() > name.size() &&
            (line[name.size()] == '{' || line[name.size()] == ' '))
            found.push_back(line);
    }
    return found;
}

GroupFigures Capped(const std::string& name) {
    GroupFigures figures;
    figures.name = name;
    figures.hasCap = true;
    figures.quotaUs = 50000;
    figures.periodUs = 100000;
    figures.hasProcesses = true;
    figures.processes = 3;
    figures.cpuSource = CpuTimeSource::kCpuStat;
    figures.cpuTimeNs = 2500000000;
    figures.hasThrottling = true;
    figures.periods = 40;
    figures.throttledPeriods = 10;
    figures.throttledNs = 1500000000;
    return figures;
}

TEST(TqdMetrics, GroupFiguresBecomeOneSampleEach) {
    GroupFigures uncapped = Capped("idle");
    uncapped.quotaUs = -1;
    GroupFigures gone;
    gone.name = "gone";
    gone.state = GroupFigures::kMissing;
    const std::string text = FormatMetrics({Capped("web"), uncapped, gone}, 2, DaemonCounts());
    EXPECT_EQ((std::vector<std::string>{"tqrcgmgr_group_cpu_cap_ratio{group=\"web\"} 0.25"}),
              Samples(text, "tqrcgmgr_group_cpu_cap_ratio"))
        << "no cap: no sample";
    EXPECT_EQ("tqrcgmgr_group_cpu_usage_seconds_total{group=\"web\",source=\"cpu.stat\"} 2.5",
              Samples(text, "tqrcgmgr_group_cpu_usage_seconds_total").at(0));
    EXPECT_EQ("tqrcgmgr_group_cpu_periods_total{group=\"web\"} 40",
              Samples(text, "tqrcgmgr_group_cpu_periods_total").at(0));
    EXPECT_EQ("tqrcgmgr_group_cpu_throttled_periods_total{group=\"web\"} 10",
              Samples(text, "tqrcgmgr_group_cpu_throttled_periods_total").at(0));
    EXPECT_EQ("tqrcgmgr_group_cpu_throttled_seconds_total{group=\"web\"} 1.5",
              Samples(text, "tqrcgmgr_group_cpu_throttled_seconds_total").at(0));
    EXPECT_EQ(2u, Samples(text, "tqrcgmgr_group_processes").size()) << "web and idle, not gone";
    EXPECT_EQ(std::string::npos, text.find("gone"));
    // Every family has its HELP and TYPE before its samples.
    for (const char* family : {"tqrcgmgr_group_cpu_cap_ratio", "tqrcgmgr_group_processes",
                               "tqrcgmgr_tqd_requests_total", "tqrcgmgr_tqd_request_duration_seconds",
                               "tqrcgmgr_tqd_peers_refused_total", "tqrcgmgr_tqd_frames_refused_total"}) {
        const std::size_t help = text.find(std::string("# HELP ") + family + " ");
        const std::size_t type = text.find(std::string("# TYPE ") + family + " ");
        ASSERT_NE(std::string::npos, help) << family;
        EXPECT_LT(help, type) << family;
    }
}

TEST(TqdMetrics, MemoryTasksPressureAndPropertiesWhereTheGroupHasThem) {
    GroupFigures web = Capped("web");
    web.hasMemory = web.hasMemoryPeak = web.hasOomKills = web.hasTasks = web.hasBursts = true;
    web.memoryBytes = 1048576;
    web.memoryPeakBytes = 2097152;
    web.oomKills = 1;
    web.tasks = 5;
    web.bursts = 7;
    web.cpuPressure = 12.5;
    web.properties[static_cast<std::size_t>(TqRcgCtrllr::RcgProperty::kMemoryMax)] = "67108864";
    web.properties[static_cast<std::size_t>(TqRcgCtrllr::RcgProperty::kCpuWeight)] = "300";
    web.properties[static_cast<std::size_t>(TqRcgCtrllr::RcgProperty::kCpuBurst)] = "12.5";
    web.properties[static_cast<std::size_t>(TqRcgCtrllr::RcgProperty::kPidsMax)] = "max";
    const std::string text = FormatMetrics({web, Capped("plain")}, 2, DaemonCounts());
    const std::vector<std::pair<const char*, std::string>> expected = {
        {"tqrcgmgr_group_memory_bytes", "1048576"},     {"tqrcgmgr_group_memory_peak_bytes", "2097152"},
        {"tqrcgmgr_group_oom_kills_total", "1"},        {"tqrcgmgr_group_tasks", "5"},
        {"tqrcgmgr_group_cpu_bursts_total", "7"},       {"tqrcgmgr_group_cpu_pressure_ratio", "0.125"},
        {"tqrcgmgr_group_memory_max_bytes", "67108864"}, {"tqrcgmgr_group_cpu_weight", "300"},
        {"tqrcgmgr_group_cpu_burst_ratio", "0.125"},
    };
    for (const auto& [family, value] : expected) {
        EXPECT_EQ(std::vector<std::string>{std::string(family) + "{group=\"web\"} " + value}, Samples(text, family))
            << "only web has it";
        EXPECT_NE(std::string::npos, text.find(std::string("# TYPE ") + family + " ")) << family;
    }
    EXPECT_TRUE(Samples(text, "tqrcgmgr_group_pids_max").empty()) << "no limit: no sample";
    EXPECT_TRUE(Samples(text, "tqrcgmgr_group_memory_pressure_ratio").empty()) << "not offered";
}

TEST(TqdMetrics, DaemonCountsAndTheDurationHistogram) {
    RequestStats stats;
    stats.served("cap", true, 0.004);
    stats.served("cap", true, 0.04);
    stats.served("create", false, 30);
    stats.peerRefused("access");
    stats.frameRefused("header");
    stats.frameRefused("header");
    const std::string text = FormatMetrics({}, 2, stats.snapshot());
    const std::vector<std::string> requests = Samples(text, "tqrcgmgr_tqd_requests_total");
    EXPECT_EQ(
        (std::vector<std::string>{"tqrcgmgr_tqd_requests_total{type=\"cap\",outcome=\"success\"} 2",
                                  "tqrcgmgr_tqd_requests_total{type=\"create\",outcome=\"failure\"} 1"}),
        requests);
    const std::vector<std::string> buckets = Samples(text, "tqrcgmgr_tqd_request_duration_seconds_bucket");
    ASSERT_EQ(kDurationBuckets.size() + 1, buckets.size());
    EXPECT_EQ("tqrcgmgr_tqd_request_duration_seconds_bucket{le=\"0.005\"} 1", buckets[2]);
    EXPECT_EQ("tqrcgmgr_tqd_request_duration_seconds_bucket{le=\"0.05\"} 2", buckets[5]);
    EXPECT_EQ("tqrcgmgr_tqd_request_duration_seconds_bucket{le=\"10\"} 2", buckets[11]);
    EXPECT_EQ("tqrcgmgr_tqd_request_duration_seconds_bucket{le=\"+Inf\"} 3", buckets.back());
    EXPECT_EQ("tqrcgmgr_tqd_request_duration_seconds_count 3",
              Samples(text, "tqrcgmgr_tqd_request_duration_seconds_count").at(0));
    EXPECT_EQ("tqrcgmgr_tqd_peers_refused_total 1", Samples(text, "tqrcgmgr_tqd_peers_refused_total").at(0));
    EXPECT_EQ((std::vector<std::string>{"tqrcgmgr_tqd_frames_refused_total{reason=\"header\"} 2",
                                        "tqrcgmgr_tqd_frames_refused_total{reason=\"incomplete\"} 0"}),
              Samples(text, "tqrcgmgr_tqd_frames_refused_total"));
}

TEST(TqdMetrics, LabelValuesAreEscaped) {
    EXPECT_EQ("a\\\\b\\\"c\\nd", LabelValue("a\\b\"c\nd"));
    EXPECT_EQ("jobs/nightly", LabelValue("jobs/nightly"));
}

TEST(TqdMetrics, SettingsFromTheStore) {
    MetricsSettings settings;
    std::string problem;
    ASSERT_TRUE(MakeMetricsSettings(false, "", false, "", &settings, &problem));
    EXPECT_EQ(kDefaultMetricsDir, settings.folder);
    EXPECT_EQ(15, settings.interval.count());
    ASSERT_TRUE(MakeMetricsSettings(true, " 30 ", true, "", &settings, &problem));
    EXPECT_EQ("", settings.folder) << "empty: off";
    EXPECT_EQ(30, settings.interval.count());
    ASSERT_TRUE(MakeMetricsSettings(false, "", true, "/tmp/m ", &settings, &problem));
    EXPECT_EQ("/tmp/m", settings.folder);
    for (const char* bad : {"0", "", "x", "-5", "86401", "1.5"}) {
        EXPECT_FALSE(MakeMetricsSettings(true, bad, false, "", &settings, &problem)) << bad;
        EXPECT_NE(std::string::npos, problem.find("dTQDMETRICSINTERVAL")) << problem;
    }
}

TEST(TqdMetrics, TheFileIsReplacedWhole) {
    tqtest::TempStore store;
    const std::string folder = store.dir() + "/metrics";
    ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
    std::string problem;
    ASSERT_TRUE(WriteFileAtomically(folder, kMetricsFileName, "first\n", &problem)) << problem;
    ASSERT_TRUE(WriteFileAtomically(folder, kMetricsFileName, "second\n", &problem)) << problem;
    EXPECT_EQ("second\n", tqtest::ReadFile(folder + "/" + kMetricsFileName));
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.' || std::string(entry->d_name).size() > 2) names.push_back(entry->d_name);
    }
    closedir(dir);
    EXPECT_EQ((std::vector<std::string>{kMetricsFileName}), names) << "no temporary file is left";
    EXPECT_FALSE(WriteFileAtomically(folder + "/missing", kMetricsFileName, "x", &problem));
    EXPECT_NE(std::string::npos, problem.find(folder + "/missing")) << problem;
}

// FIFOs planted in the folder, at the names a writer could be expected to
// use and at the file's own name, neither block the write nor receive it.
TEST(TqdMetrics, TheWriteIsNeverHeldOrRedirectedByFifosPlantedInTheFolder) {
    tqtest::TempStore store;
    const std::string folder = store.dir() + "/metrics";
    ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
    const std::vector<std::string> planted = {"." + std::string(kMetricsFileName) + "." + std::to_string(getpid()) + ".tmp",
                                              "." + std::string(kMetricsFileName) + ".tmp", kMetricsFileName};
    for (const std::string& name : planted) ASSERT_EQ(0, mkfifo((folder + "/" + name).c_str(), 0666)) << name;
    std::string problem;
    auto write = std::async(std::launch::async, [&] {
        return WriteFileAtomically(folder, kMetricsFileName, "figures\n", &problem);
    });
    const bool done = write.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!done) {
        // Lets a writer stuck on a FIFO go, so that the test can end.
        for (const std::string& name : planted) close(open((folder + "/" + name).c_str(), O_RDONLY | O_NONBLOCK));
    }
    ASSERT_TRUE(done) << "the write is held by a FIFO";
    EXPECT_TRUE(write.get()) << problem;
    struct stat st;
    ASSERT_EQ(0, lstat((folder + "/" + kMetricsFileName).c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ("figures\n", tqtest::ReadFile(folder + "/" + kMetricsFileName));
}

TEST(TqdMetrics, TheStartSaysOnceWhereTheFileGoesAndWhenItsFolderIsMissing) {
    MetricsSettings settings;
    settings.folder = "/var/lib/prometheus/node-exporter";
    EXPECT_EQ("metrics file /var/lib/prometheus/node-exporter/tqrcgmgr.prom every 15 s", MetricsFileLine(settings, true));
    EXPECT_EQ(
        "metrics file /var/lib/prometheus/node-exporter/tqrcgmgr.prom every 15 s, once its folder exists: "
        "/var/lib/prometheus/node-exporter does not exist now (the node exporter's package makes it; or name "
        "another folder in Session/sTQDMETRICSDIR)",
        MetricsFileLine(settings, false));
    settings.folder.clear();
    EXPECT_EQ("no metrics file: Session/sTQDMETRICSDIR is empty", MetricsFileLine(settings, true));
}

}  // namespace
