// tqrcg list and top on an in-memory cgroup2 filesystem: the list's lines
// and JSON, and top's rows, sort keys and screen, without root or tqd.
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/TqrcgCommands.h"
#include "cli/TqrcgListText.h"
#include "cli/TqrcgTopView.h"
#include "tests/support/FakeCgroupFs.h"
#include "tests/cli/TqrcgInProcess.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace tqrcg;
using TqRcgCtrllr::GroupFigures;
using tqtest::LineWords;

const char kBase[] = "/sys/fs/cgroup/tqrcg";

using Outcome = tqtest::TqrcgOutcome;

Outcome Tqrcg(std::vector<std::string> args) { return tqtest::TqrcgInProcess(std::move(args)); }

// A cgroup2 host with two processors and the groups "web" (capped at 25 %,
// throttled in 10 of 40 periods for 1.5 s) and "idle" (no cap).
class TqrcgFigures : public ::testing::Test {
protected:
    TqrcgFigures() : m_store("[Base]\nsTQRCGMGRGROUPS= web idle gone\nsTQRCGMGRCAPS= web=25\n") {
        m_fs.dirs.insert(kBase);
        group("web", "50000 100000", "4711\n4712\n", 2500000, 40, 10, 1500000);
        group("idle", "max 100000", "", 0, 0, 0, 0);
    }
    void group(const std::string& name, const std::string& max, const std::string& procs,
               std::uint64_t usageUs, std::uint64_t periods, std::uint64_t throttled,
               std::uint64_t throttledUs) {
        const std::string folder = std::string(kBase) + "/" + name;
        m_fs.dirs.insert(folder);
        m_fs.files[folder + "/cpu.max"] = max + "\n";
        m_fs.files[folder + "/cgroup.procs"] = procs;
        m_fs.files[folder + "/cpu.stat"] = "usage_usec " + std::to_string(usageUs) + "\nnr_periods " +
                                           std::to_string(periods) + "\nnr_throttled " +
                                           std::to_string(throttled) + "\nthrottled_usec " +
                                           std::to_string(throttledUs) + "\n";
    }

    tqtest::TempStore m_store;
    tqtest::FakeCgroupFs m_fs;
};

TEST_F(TqrcgFigures, ListAddsTheThrottlingAfterTheRememberedCap) {
    const Outcome outcome = Tqrcg({"list"});
    EXPECT_EQ(0, outcome.status) << outcome.err;
    EXPECT_EQ(
        (std::vector<std::string>{"GROUP", "CAP", "PROCESSES", "REMEMBERED", "THROTTLED", "THROTTLED-TIME"}),
        LineWords(outcome.out, "GROUP"));
    EXPECT_EQ((std::vector<std::string>{"web", "25%", "2", "25%", "25%", "1.50s"}),
              LineWords(outcome.out, "web"));
    EXPECT_EQ((std::vector<std::string>{"idle", "none", "0", "-", "0%", "0.00s"}),
              LineWords(outcome.out, "idle"));
    EXPECT_EQ((std::vector<std::string>{"gone", "(no", "longer", "exists)"}), LineWords(outcome.out, "gone"));
}

TEST_F(TqrcgFigures, ListJsonHasNumericFieldsWithUnits) {
    const Outcome outcome = Tqrcg({"list", "--json"});
    ASSERT_EQ(0, outcome.status) << outcome.err;
    const nlohmann::json groups = nlohmann::json::parse(outcome.out);
    ASSERT_TRUE(groups.is_array());
    ASSERT_EQ(3u, groups.size());
    const nlohmann::json& web = groups[0];
    EXPECT_EQ("web", web["group"]);
    EXPECT_EQ(true, web["exists"]);
    EXPECT_DOUBLE_EQ(25.0, web["cap_percent"].get<double>());
    EXPECT_EQ(50000, web["cap_quota_us"]);
    EXPECT_EQ(100000, web["cap_period_us"]);
    EXPECT_EQ(25, web["remembered_cap_percent"]);
    EXPECT_EQ(2, web["processes"]);
    EXPECT_DOUBLE_EQ(2.5, web["cpu_usage_seconds"].get<double>());
    EXPECT_EQ("cpu.stat", web["cpu_usage_source"]);
    EXPECT_EQ(40, web["periods"]);
    EXPECT_EQ(10, web["throttled_periods"]);
    EXPECT_DOUBLE_EQ(25.0, web["throttled_share_percent"].get<double>());
    EXPECT_DOUBLE_EQ(1.5, web["throttled_seconds"].get<double>());
    EXPECT_TRUE(web["problem"].is_null());
    EXPECT_TRUE(groups[1]["cap_percent"].is_null()) << "no cap";
    EXPECT_EQ(false, groups[2]["exists"]);
    EXPECT_TRUE(groups[2]["processes"].is_null());
}

// Names the store lists are printed as JSON strings in which nothing can act
// on a terminal: control characters of both sets, DEL, and bytes that are
// not UTF-8 are escaped, and the JSON still reads back the same names.
TEST_F(TqrcgFigures, ListJsonEscapesEveryControlCharacter) {
    m_store.write("[Base]\nsTQRCGMGRGROUPS= web \x1b[2J \xc2\x9b" "31m del\x7f bad\xff caf\xc3\xa9\n");
    const Outcome outcome = Tqrcg({"list", "--json"});
    for (char c : outcome.out) {
        const unsigned char byte = static_cast<unsigned char>(c);
        EXPECT_TRUE(byte == '\n' || (byte >= 0x20 && byte < 0x7f)) << "raw byte " << int(byte) << " in " << outcome.out;
    }
    const nlohmann::json groups = nlohmann::json::parse(outcome.out);
    ASSERT_EQ(6u, groups.size());
    const std::vector<std::string> expected = {"web", "\x1b[2J", "\xc2\x9b" "31m", "del\x7f", "bad\xef\xbf\xbd",
                                               "caf\xc3\xa9"};
    for (std::size_t index = 0; index < expected.size(); ++index) {
        EXPECT_EQ(expected[index], groups[index]["group"].get<std::string>()) << index;
    }
    EXPECT_NE(std::string::npos, outcome.out.find("\"\\u009b31m\"")) << outcome.out;
}

TEST_F(TqrcgFigures, AnUnreadableFigureFailsTheListButShowsTheRest) {
    m_fs.files.erase(std::string(kBase) + "/web/cpu.stat");
    const Outcome outcome = Tqrcg({"list"});
    EXPECT_EQ(1, outcome.status);
    EXPECT_NE(std::string::npos, outcome.err.find("tqrcg: cannot read the figures of web")) << outcome.err;
    EXPECT_EQ((std::vector<std::string>{"web", "25%", "2", "25%", "?", "?"}), LineWords(outcome.out, "web"));
}

TEST_F(TqrcgFigures, TopRowsMeasureTheInterval) {
    RecordedFigures before, after;
    std::string problem;
    ASSERT_TRUE(ReadRecordedFigures(&before, &problem)) << problem;
    // One second later: web used 0.5 s (25 % of two processors) and was
    // throttled in 5 of 10 periods.
    group("web", "50000 100000", "4711\n4712\n", 3000000, 50, 15, 1700000);
    ASSERT_TRUE(ReadRecordedFigures(&after, &problem)) << problem;
    std::vector<TopRow> rows = MakeTopRows(before, after, 1.0);
    ASSERT_EQ(3u, rows.size());
    EXPECT_DOUBLE_EQ(25.0, rows[0].usePercent);
    EXPECT_DOUBLE_EQ(50.0, rows[0].throttledPercent);
    EXPECT_DOUBLE_EQ(25.0, rows[0].capPercent);
    EXPECT_EQ(2, rows[0].processes);
    EXPECT_DOUBLE_EQ(0.0, rows[1].usePercent);
    EXPECT_LT(rows[1].capPercent, 0);
    EXPECT_FALSE(rows[2].note.empty());
    EXPECT_LT(MakeFirstTopRows(after)[0].usePercent, 0) << "no use before a second sample";
}

TEST(TqrcgTopView, SortKeysCycleAndGroupsWithoutFiguresComeLast) {
    std::vector<TopRow> rows(4);
    rows[0].name = "a", rows[0].usePercent = 5, rows[0].capPercent = 50, rows[0].processes = 9;
    rows[1].name = "b", rows[1].usePercent = 20, rows[1].capPercent = 10, rows[1].processes = 1;
    rows[2].name = "c", rows[2].note = "(no longer exists)";
    rows[3].name = "d", rows[3].usePercent = 12, rows[3].throttledPercent = 80, rows[3].processes = 3;
    for (TopRow& row : rows) row.capKnown = true;
    auto order = [&rows](TopSort sort) {
        SortTopRows(&rows, sort);
        std::string names;
        for (const TopRow& row : rows) names += row.name;
        return names;
    };
    EXPECT_EQ("bdac", order(TopSort::kUse));
    EXPECT_EQ("dabc", order(TopSort::kCap)) << "no cap counts as the most";
    EXPECT_EQ("dabc", order(TopSort::kThrottled));
    EXPECT_EQ("adbc", order(TopSort::kProcesses));
    EXPECT_EQ("abdc", order(TopSort::kName));
    TopSort sort = TopSort::kUse;
    std::string cycle;
    for (int i = 0; i < 5; ++i) cycle += std::string(TopSortName(sort = NextTopSort(sort))) + " ";
    EXPECT_EQ("cap throttled processes name use ", cycle);
}

TEST(TqrcgTopView, TheScreenFitsItsSize) {
    std::vector<TopRow> rows(30);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        rows[i].name = "group" + std::to_string(i);
        rows[i].capKnown = true;
        rows[i].capPercent = 25;
        rows[i].usePercent = double(i);
        rows[i].processes = 1;
    }
    TopHeader header;
    header.processors = 2;
    for (int width : {40, 80, 200}) {
        const std::vector<std::string> lines = FormatTopScreen(rows, header, width, 10);
        EXPECT_EQ(10u, lines.size()) << width;
        for (const std::string& line : lines) EXPECT_LE(line.size(), static_cast<std::size_t>(width)) << line;
        EXPECT_EQ("... 23 more groups", lines.back());
    }
    EXPECT_EQ(32u, FormatTopScreen(rows, header, 120, 0).size()) << "no height: every row";
    EXPECT_EQ("[#####.....]", UseBar(12.5, 25, 12));
    EXPECT_EQ("[##########]", UseBar(40, 25, 12)) << "over the cap: full";
    EXPECT_EQ("[#####.....]", UseBar(50, -1, 12)) << "no cap: against the machine";
}

TEST(TqrcgTopView, PlainTopNeedsATerminalUnlessOnce) {
    if (isatty(STDIN_FILENO) && isatty(STDOUT_FILENO)) GTEST_SKIP() << "run from a terminal";
    tqtest::TempStore store("[Base]\n");
    const Outcome live = Tqrcg({"top"});
    EXPECT_EQ(1, live.status);
    EXPECT_NE(std::string::npos, live.err.find("--once")) << live.err;
    EXPECT_EQ(2, Tqrcg({"top", "-d", "0"}).status);
    EXPECT_EQ(2, Tqrcg({"top", "-d", "x"}).status);
}

}  // namespace
