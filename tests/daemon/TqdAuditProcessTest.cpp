// The tqd binary's audit trail and metrics file, on requests that run no
// cgroup command: the lines in the event log, the file in the folder the
// store names, and promtool's verdict on it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "tests/support/TqdHarness.h"

namespace {

using namespace tqdtest;

// Waits until the file exists and holds `text`; its text.
std::string WaitForFile(const std::string& path, const std::string& text, double seconds) {
    std::string content;
    for (int i = 0; i < seconds * 20; ++i) {
        content = tqtest::ReadFile(path);
        if (content.find(text) != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return content;
}

std::vector<unsigned char> WrongLength() {
    std::vector<unsigned char> frame = HarmlessFrame();
    const std::uint32_t word = htonl(369);
    std::memcpy(frame.data(), &word, 4);
    return frame;
}

TEST(TqdAudit, EveryRequestAndRefusedFrameIsOneInfoLine) {
    TqdProcess tqd;
    EXPECT_EQ(TextOf(Ask(tqd.port(), HarmlessFrame())), kUnsupportedReply);
    const std::string served = " INFO tqd audit peer=127.0.0.1:";
    ASSERT_TRUE(tqd.waitForLog(served, 5)) << tqd.log();
    const std::string expected = "uid=" + std::to_string(geteuid()) + " pid=" + std::to_string(getpid()) +
                                 " request=unknown(5) group=\"tqtest_harmless\" outcome=\"" +
                                 std::string(kUnsupportedReply) + "\" ms=";
    EXPECT_NE(std::string::npos, tqd.log().find(expected)) << tqd.log();

    Client bad(tqd.port());
    bad.send(WrongLength());
    bad.readToEnd(5);
    EXPECT_TRUE(tqd.waitForLog("refused_frame=\"frame length 369 is not 368\"", 5)) << tqd.log();
}

TEST(TqdMetricsFile, WrittenAtStartAndEveryIntervalAndPassesPromtool) {
    tqtest::TempStore folders;
    const std::string folder = folders.dir();
    TqdProcess tqd("sTQDMETRICSDIR=" + folder + "\ndTQDMETRICSINTERVAL=1\n");
    ASSERT_TRUE(tqd.running()) << tqd.errText();
    EXPECT_TRUE(tqd.waitForLog("metrics file " + folder + "/tqrcgmgr.prom every 1 s", 5)) << tqd.log();
    const std::string path = folder + "/tqrcgmgr.prom";
    EXPECT_NE(std::string::npos, WaitForFile(path, "tqrcgmgr_tqd_requests_total", 5).find("# TYPE"));

    EXPECT_EQ(TextOf(Ask(tqd.port(), HarmlessFrame())), kUnsupportedReply);
    Client bad(tqd.port());
    bad.send(WrongLength());
    bad.readToEnd(5);
    const std::string text = WaitForFile(path, "tqrcgmgr_tqd_frames_refused_total{reason=\"header\"} 1", 5);
    EXPECT_NE(std::string::npos,
              text.find("tqrcgmgr_tqd_requests_total{type=\"unknown\",outcome=\"failure\"} 1"))
        << text;
    EXPECT_NE(std::string::npos, text.find("tqrcgmgr_tqd_request_duration_seconds_count 1")) << text;

    const std::string promtool = PromtoolPath();
    if (promtool.empty()) {
        if (tqtest::SystemTestsRequired()) FAIL() << "promtool is missing: run scripts/setup.sh";
        GTEST_SKIP() << "SKIPPED promtool check: no promtool (scripts/promtool.sh puts one in build/tools)";
    }
    EXPECT_EQ("", PromtoolProblems(promtool, path)) << text;
}

// FIFOs planted in the metrics folder, at the temporary name a writer of
// this tqd could be expected to use and at the file's own name, neither hold
// the metrics thread nor keep tqd from stopping on SIGTERM.
TEST(TqdMetricsFile, FifosPlantedInTheFolderDoNotKeepTqdFromStopping) {
    tqtest::TempStore folders;
    const std::string folder = folders.dir();
    TqdProcess tqd("sTQDMETRICSDIR=" + folder + "\ndTQDMETRICSINTERVAL=1\n");
    ASSERT_TRUE(tqd.running()) << tqd.errText();
    const std::string path = folder + "/tqrcgmgr.prom";
    ASSERT_NE(std::string::npos, WaitForFile(path, "# TYPE", 5).find("# TYPE"));
    for (const std::string& name : {".tqrcgmgr.prom." + std::to_string(tqd.pid()) + ".tmp",
                                    std::string(".tqrcgmgr.prom.tmp"), std::string("tqrcgmgr.prom")}) {
        unlink((folder + "/" + name).c_str());
        ASSERT_EQ(0, mkfifo((folder + "/" + name).c_str(), 0666)) << name;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // two more writes
    EXPECT_EQ(0, tqd.stop(5)) << "tqd did not stop within 5 s of SIGTERM";
    struct stat st;
    ASSERT_EQ(0, lstat(path.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode)) << "the file replaced the FIFO";
}

// A metrics folder that does not exist (no node exporter on the host) is one
// INFO line at the start, no ERROR at any write, and the file comes once the
// folder is made.
TEST(TqdMetricsFile, AMissingFolderIsOneInfoLineAndTheFileComesOnceItIsMade) {
    tqtest::TempStore folders;
    const std::string folder = folders.dir() + "/node-exporter";
    TqdProcess tqd("sTQDMETRICSDIR=" + folder + "\ndTQDMETRICSINTERVAL=1\n");
    ASSERT_TRUE(tqd.running()) << tqd.errText();
    EXPECT_TRUE(tqd.waitForLog(folder + " does not exist now", 5)) << tqd.log();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(std::string::npos, tqd.log().find(" ERROR ")) << tqd.log();
    ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
    EXPECT_NE(std::string::npos, WaitForFile(folder + "/tqrcgmgr.prom", "# TYPE", 5).find("# TYPE"));
    EXPECT_EQ(std::string::npos, tqd.log().find(" ERROR ")) << tqd.log();
}

TEST(TqdMetricsFile, AnEmptyFolderSettingWritesNothing) {
    TqdProcess tqd("sTQDMETRICSDIR=\ndTQDMETRICSINTERVAL=1\n");
    ASSERT_TRUE(tqd.running()) << tqd.errText();
    EXPECT_TRUE(tqd.waitForLog("no metrics file: Session/sTQDMETRICSDIR is empty", 5)) << tqd.log();
}

TEST(TqdMetricsFile, ABadIntervalStopsTheStart) {
    tqtest::TempStore store(
        "[Base]\nsTQLOGDIR=/nonexistent\n[Session]\ndTQDMETRICSINTERVAL=soon\nsTQDMETRICSDIR=\n");
    const RunResult result = RunTqd({"--foreground", "--port", std::to_string(FreePort())}, 10);
    EXPECT_EQ(1, result.status);
    EXPECT_NE(std::string::npos, result.err.find("dTQDMETRICSINTERVAL \"soon\"")) << result.err;
}

// Asks tqd as `uid` from a child process.
void AskAs(uid_t uid, std::uint16_t port) {
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(uid) == 0 && setuid(uid) == 0) Ask(port, HarmlessFrame(), 10);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
}

TEST(TqdAudit, ARefusedPeerIsOneLineAndCounted) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    tqtest::TempStore folders;
    TqdProcess tqd("sTQDMETRICSDIR=" + folders.dir() + "\ndTQDMETRICSINTERVAL=1\n", {}, "", false);
    AskAs(65534, tqd.port());
    EXPECT_TRUE(tqd.waitForLog("uid=65534 pid=", 5)) << tqd.log();
    EXPECT_NE(std::string::npos, tqd.log().find(" refused=\"Access denied: ")) << tqd.log();
    const std::string text =
        WaitForFile(folders.dir() + "/tqrcgmgr.prom", "tqrcgmgr_tqd_peers_refused_total 1", 5);
    EXPECT_NE(std::string::npos, text.find("tqrcgmgr_tqd_peers_refused_total 1")) << text;
}

}  // namespace
