#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>

#include <cstdio>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "host/EvDebug.h"
#include "tests/support/TestSupport.h"

namespace {

using tqtest::EnvGuard;
using tqtest::TempStore;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

struct LogLine {
    std::string time, pid, thread, level, function, message;
};

// Splits "<time> <pid> <thread> <LEVEL> <function> <message>".
bool Parse(const std::string& line, LogLine* fields) {
    std::string* parts[] = {&fields->time, &fields->pid, &fields->thread, &fields->level, &fields->function};
    std::size_t pos = 0;
    for (std::string* part : parts) {
        std::size_t blank = line.find(' ', pos);
        if (blank == std::string::npos || blank == pos) return false;
        *part = line.substr(pos, blank - pos);
        pos = blank + 1;
    }
    fields->message = line.substr(pos);
    return true;
}

// "YYYY-MM-DDTHH:MM:SS.uuuuuu"
bool TimeShaped(const std::string& time) {
    const std::string shape = "dddd-dd-ddTdd:dd:dd.dddddd";
    if (time.size() != shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(time[i])) : time[i] != shape[i]) return false;
    }
    return true;
}

// A line written by this thread.
testing::AssertionResult OwnLine(const std::string& line, const std::string& level, const std::string& function,
                                 const std::string& message) {
    LogLine fields;
    if (!Parse(line, &fields)) return testing::AssertionFailure() << "not a log line: [" << line << "]";
    if (!TimeShaped(fields.time) || fields.pid != std::to_string(getpid()) ||
        fields.thread != std::to_string(gettid()) || fields.level != level || fields.function != function ||
        fields.message != message) {
        return testing::AssertionFailure() << "unexpected line: [" << line << "]";
    }
    return testing::AssertionSuccess();
}

// The whole text is exactly one line written by this thread.
testing::AssertionResult OnlyLine(const std::string& text, const std::string& level, const std::string& function,
                                  const std::string& message) {
    if (text.empty() || text.back() != '\n' || text.find('\n') != text.size() - 1) {
        return testing::AssertionFailure() << "not one line: [" << text << "]";
    }
    return OwnLine(text.substr(0, text.size() - 1), level, function, message);
}

TEST(EvDebugTest, ErrorWritesOneLineWithAllFields) {
    TempStore temp;
    EvDebug log;
    log.Error("TqRcgCtrllr::GetSysRcg", "group %s has %d tasks", "backup", 3);
    EXPECT_TRUE(OnlyLine(temp.log(), "ERROR", "TqRcgCtrllr::GetSysRcg", "group backup has 3 tasks"));
}

TEST(EvDebugTest, InfoLinesAreWrittenWhateverTheDebugLevel) {
    {
        TempStore temp;  // no level: debug lines are off, INFO lines are not
        EvDebug log;
        log.Debug("f", "debug");
        log.Info("tqd", "tqd listening on %s with %u workers", "127.0.0.1:8400", 16u);
        log.Error("tqd", "failed");
        auto lines = Lines(temp.log());
        ASSERT_EQ(2u, lines.size()) << temp.log();
        EXPECT_TRUE(OwnLine(lines[0], "INFO", "tqd", "tqd listening on 127.0.0.1:8400 with 16 workers"));
        EXPECT_TRUE(OwnLine(lines[1], "ERROR", "tqd", "failed"));
    }
    {
        TempStore temp("dTQDEBUGLEVEL=0\n");
        EvDebug().Info("tqd", "%s", "tqd stopped\n100%");
        EXPECT_TRUE(OnlyLine(temp.log(), "INFO", "tqd", "tqd stopped\\n100%"));
    }
    {
        TempStore temp("dTQDEBUGLEVEL=4\n");
        EvDebug log;
        log.Info("f", "info");
        log.DebugLvl("f", 4, "four");
        auto lines = Lines(temp.log());
        ASSERT_EQ(2u, lines.size()) << temp.log();
        EXPECT_TRUE(OwnLine(lines[0], "INFO", "f", "info"));
        EXPECT_TRUE(OwnLine(lines[1], "DEBUG", "f", "four"));
    }
}

TEST(EvDebugTest, DebugLinesFollowTheConfiguredLevel) {
    {
        TempStore temp;  // no level: debug lines are off
        EvDebug log;
        log.Debug("f", "debug");
        log.DebugLvl("f", 0, "level zero");
        log.DebugLvl("f", 4, "level four");
        log.Error("f", "error");
        auto lines = Lines(temp.log());
        ASSERT_EQ(1u, lines.size()) << temp.log();
        EXPECT_TRUE(OwnLine(lines[0], "ERROR", "f", "error"));
    }
    {
        TempStore temp("dTQDEBUGLEVEL=2\n");
        EvDebug log;
        log.Debug("f", "one");
        log.DebugLvl("f", 2, "two");
        log.DebugLvl("f", 3, "three");
        log.DebugLvl("f", 4, "four");
        auto lines = Lines(temp.log());
        ASSERT_EQ(2u, lines.size()) << temp.log();
        EXPECT_TRUE(OwnLine(lines[0], "DEBUG", "f", "one"));
        EXPECT_TRUE(OwnLine(lines[1], "DEBUG", "f", "two"));
    }
    {
        TempStore temp("dTQDEBUGLEVEL= 4 \n");
        EvDebug log;
        log.DebugLvl("linuxRcg::AssignPidsTo", 4, "cmd %s", "cgclassify");
        log.DebugLvl("f", 5, "five");
        auto lines = Lines(temp.log());
        ASSERT_EQ(1u, lines.size()) << temp.log();
        EXPECT_TRUE(OwnLine(lines[0], "DEBUG", "linuxRcg::AssignPidsTo", "cmd cgclassify"));
    }
    {
        TempStore temp("dTQDEBUGLEVEL=lots\n");  // not a number: off
        EvDebug().Debug("f", "one");
        EXPECT_EQ("", temp.log());
    }
}

TEST(EvDebugTest, MessagesStayOnOneLine) {
    TempStore temp;
    EvDebug().Error("f", "%s", "first\nsecond\r\tthird\x01\x7f end\n");
    EXPECT_TRUE(OnlyLine(temp.log(), "ERROR", "f", "first\\nsecond\\x0d\\x09third\\x01\\x7f end\\n"));
}

TEST(EvDebugTest, PlainTextKeepsPercentSigns) {
    TempStore temp;
    const std::string text = "Failed to run cmd [printf %s%n] out[100% %d] err[]";
    EvDebug().Error("f", "%s", text.c_str());
    EXPECT_TRUE(OnlyLine(temp.log(), "ERROR", "f", text));
}

TEST(EvDebugTest, LogFolderIsCreatedAndNamedAfterTheInstance) {
    TempStore temp;
    const std::string folder = temp.dir() + "/deep/er";
    temp.write("[Base]\nsTQLOGDIR=" + folder + "\n");
    EnvGuard instance("TQ_INSTANCE", "Inst42");
    EvEvent log;
    EXPECT_TRUE(log.initialize(2, 0x2B0BBDCB, 0, nullptr, ""));
    log.Error("sendDataToTqd", "x");
    EXPECT_TRUE(OnlyLine(tqtest::ReadFile(folder + "/Inst42.log"), "ERROR", "sendDataToTqd", "x"));
}

TEST(EvDebugTest, FallsBackToStandardErrorWhenTheFolderCannotBeUsed) {
    TempStore temp;
    const std::string file = temp.dir() + "/plain-file";
    tqtest::WriteFile(file, "");
    temp.write("[Base]\nsTQLOGDIR=" + file + "\n");
    testing::internal::CaptureStderr();
    EvDebug(nullptr).Error("rcgMgrHandler", "lost %d", 1);
    const std::string captured = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(OnlyLine(captured, "ERROR", "rcgMgrHandler", "lost 1"));
    EXPECT_EQ("", tqtest::ReadFile(file));
}

TEST(EvDebugTest, EchoesToStandardErrorWhenAsked) {
    TempStore temp;
    EnvGuard echo("TQ_LOG_STDERR", "1");
    testing::internal::CaptureStderr();
    EvDebug().Error("f", "both");
    const std::string captured = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(OnlyLine(captured, "ERROR", "f", "both"));
    EXPECT_EQ(captured, temp.log());
}

// The bytes this process has read so far (rchar of /proc/self/io).
long long BytesReadSoFar() {
    std::istringstream io(tqtest::ReadFile("/proc/self/io"));
    std::string key;
    long long value = 0;
    while (io >> key >> value) {
        if (key == "rchar:") return value;
    }
    return -1;
}

// Each line looks at the store's identity only; the settings are read again
// once the file changes.
TEST(EvDebugTest, LinesDoNotReadTheStoreAgainUntilItChanges) {
    TempStore temp;
    std::string text = "[Base]\nsTQLOGDIR=" + temp.dir() + "/log\ndTQDEBUGLEVEL=1\n";
    const std::string comment = "# " + std::string(60, 'c') + "\n";
    while (text.size() < (8u << 20)) text += comment;
    temp.write(text);
    // A file changed within the clock tick of a read could change again
    // unseen: until a moment has passed, each line reads the store.
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    EvDebug log;
    const long long before = BytesReadSoFar();
    for (int line = 0; line < 1000; ++line) log.Debug("f", "line %d", line);
    // The bytes this process read: the store once at the most, not once a line.
    EXPECT_LT(BytesReadSoFar() - before, 2ll * static_cast<long long>(text.size()));
    EXPECT_EQ(Lines(temp.log()).size(), 1000u);
    // A change shows at once: debug lines are off again.
    temp.write("[Base]\nsTQLOGDIR=" + temp.dir() + "/log\n");
    log.Debug("f", "hidden");
    log.Error("f", "shown");
    const auto lines = Lines(temp.log());
    ASSERT_EQ(lines.size(), 1001u);
    EXPECT_TRUE(OwnLine(lines.back(), "ERROR", "f", "shown"));
}

TEST(EvDebugTest, ConcurrentThreadsWriteWholeLines) {
    TempStore temp("dTQDEBUGLEVEL=1\n");
    constexpr int kThreads = 8;
    constexpr int kLines = 200;
    const std::string padding(150, 'p');
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &padding] {
            EvDebug log;
            for (int i = 0; i < kLines; ++i) {
                if (i % 2) {
                    log.Error("worker", "t%d line %d %s", t, i, padding.c_str());
                } else {
                    log.Debug("worker", "t%d line %d %s", t, i, padding.c_str());
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    std::set<std::string> seen;
    auto lines = Lines(temp.log());
    EXPECT_EQ(static_cast<std::size_t>(kThreads * kLines), lines.size());
    for (const std::string& line : lines) {
        LogLine fields;
        ASSERT_TRUE(Parse(line, &fields)) << line;
        ASSERT_TRUE(TimeShaped(fields.time)) << line;
        EXPECT_EQ(std::to_string(getpid()), fields.pid);
        EXPECT_EQ("worker", fields.function);
        int thread = -1, number = -1;
        char rest[200] = {};
        ASSERT_EQ(3, sscanf(fields.message.c_str(), "t%d line %d %199s", &thread, &number, rest)) << line;
        EXPECT_EQ(padding, rest);
        EXPECT_EQ("t" + std::to_string(thread) + " line " + std::to_string(number) + " " + padding, fields.message);
        EXPECT_EQ(number % 2 ? "ERROR" : "DEBUG", fields.level);
        seen.insert(fields.thread + "/" + std::to_string(thread) + "/" + std::to_string(number));
    }
    EXPECT_EQ(static_cast<std::size_t>(kThreads * kLines), seen.size());
}

// ---- what reaches a terminal ---------------------------------------------

TEST(EvDebugTest, ControlsAndMalformedUtf8AreEscapedAndOtherTextIsKept) {
    const struct {
        const char* text;
        const char* shown;
    } cases[] = {
        {"\x1b[2J", "\\x1b[2J"},                       // C0: escape sequence introducer
        {"a\x7f", "a\\x7f"},                           // DEL
        {"\xc2\x9b" "31m", "\\u009b31m"},             // C1 CSI, as UTF-8
        {"\xc2\x80\xc2\x9f", "\\u0080\\u009f"},       // both ends of C1
        {"\x9b" "31m", "\\x9b31m"},                    // C1 as a lone byte
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\xc2\xa0", "\xc2\xa0"},                     // U+00A0 is no control
        {"\xff\xfe", "\\xff\\xfe"},                   // never in UTF-8
        {"end\xc2", "end\\xc2"},                       // cut sequence
        {"\xe2\x82", "\\xe2\\x82"},                   // cut sequence
        {"\xc0\x9b", "\\xc0\\x9b"},                   // overlong form of a control
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},         // surrogate
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"}, // past U+10FFFF
    };
    for (const auto& c : cases) {
        std::string line;
        tqfw::AppendTerminalSafe(line, c.text);
        EXPECT_EQ(c.shown, line) << c.text;
    }
    TempStore temp;
    EvDebug().Error("f", "group %s", "\xc2\x9b" "2J\xff");
    EXPECT_TRUE(OnlyLine(temp.log(), "ERROR", "f", "group \\u009b2J\\xff"));
}

// ---- the file ------------------------------------------------------------

// Descriptors of this process open on `path`.
int DescriptorsOn(const std::string& path) {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (const dirent* entry = readdir(dir)) {
        char target[4096];
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t length = readlink(link.c_str(), target, sizeof(target));
        if (length > 0 && std::string(target, static_cast<std::size_t>(length)) == path) ++count;
    }
    closedir(dir);
    return count;
}

// One descriptor, held from line to line; a file renamed away (as logrotate
// does) or a new folder setting is followed by the next line.
TEST(EvDebugTest, OneDescriptorIsHeldAndFollowsRotationAndTheFolderSetting) {
    TempStore temp;
    EvDebug log;
    for (int line = 0; line < 50; ++line) log.Error("f", "line %d", line);
    EXPECT_EQ(1, DescriptorsOn(temp.logPath()));
    ASSERT_EQ(0, rename(temp.logPath().c_str(), (temp.logPath() + ".old").c_str()));
    log.Error("f", "two");
    EXPECT_EQ(50u, Lines(tqtest::ReadFile(temp.logPath() + ".old")).size());
    EXPECT_TRUE(OnlyLine(temp.log(), "ERROR", "f", "two"));

    const std::string folder = temp.dir() + "/elsewhere";
    temp.write("[Base]\nsTQLOGDIR=" + folder + "\n");
    log.Error("f", "moved");
    EXPECT_EQ(0, DescriptorsOn(temp.logPath()));
    EXPECT_EQ(1, DescriptorsOn(folder + "/Instance001.log"));
    EXPECT_TRUE(OnlyLine(tqtest::ReadFile(folder + "/Instance001.log"), "ERROR", "f", "moved"));
}

std::vector<std::string> FolderNames(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') names.push_back(entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// Every line of `text` is whole; the numbers of the "line N" messages.
std::vector<int> LineNumbers(const std::string& text) {
    std::vector<int> numbers;
    for (const std::string& line : Lines(text)) {
        LogLine fields;
        EXPECT_TRUE(Parse(line, &fields)) << line;
        int number = -1;
        if (sscanf(fields.message.c_str(), "line %d", &number) == 1) numbers.push_back(number);
    }
    return numbers;
}

TEST(EvDebugTest, TheFileIsRotatedAtItsCapKeepingOneEarlierFile) {
    TempStore temp("dTQLOGMAXKB=16\n");
    const std::string padding(120, 'p');
    EvDebug log;
    for (int line = 0; line < 400; ++line) log.Error("f", "line %d %s", line, padding.c_str());
    EXPECT_EQ((std::vector<std::string>{"Instance001.log", "Instance001.log.1"}), FolderNames(temp.dir() + "/log"));
    const std::string current = temp.log();
    const std::string earlier = tqtest::ReadFile(temp.logPath() + ".1");
    EXPECT_LE(current.size(), 16u * 1024);
    EXPECT_LE(earlier.size(), 16u * 1024);
    // The newest lines, without a gap between the two files.
    std::vector<int> numbers = LineNumbers(earlier);
    const std::vector<int> newer = LineNumbers(current);
    numbers.insert(numbers.end(), newer.begin(), newer.end());
    ASSERT_FALSE(numbers.empty());
    EXPECT_EQ(399, numbers.back());
    for (std::size_t index = 1; index < numbers.size(); ++index) EXPECT_EQ(numbers[index - 1] + 1, numbers[index]);
    // The new file says where the lines before it went.
    EXPECT_NE(std::string::npos, Lines(current).at(0).find(" INFO EvDebug the log reached its cap of 16 KiB "
                                                           "(Base/dTQLOGMAXKB): the lines before are in " +
                                                           temp.logPath() + ".1"))
        << current;
}

// Processes that share the file rotate it once between them: two files,
// each past the cap by at most one line per process, of whole lines.
TEST(EvDebugTest, ProcessesSharingTheFileRotateItOnceBetweenThem) {
    TempStore temp("dTQLOGMAXKB=16\n");
    const std::string padding(120, 'p');
    std::vector<pid_t> children(4);
    for (pid_t& pid : children) {
        if ((pid = fork()) != 0) continue;
        for (int line = 0; line < 300; ++line) EvDebug().Error("f", "line %d %s", line, padding.c_str());
        _exit(0);
    }
    for (pid_t pid : children) waitpid(pid, nullptr, 0);
    EXPECT_EQ((std::vector<std::string>{"Instance001.log", "Instance001.log.1"}), FolderNames(temp.dir() + "/log"));
    for (const std::string& path : {temp.logPath(), temp.logPath() + ".1"}) {
        const std::string text = tqtest::ReadFile(path);
        EXPECT_LE(text.size(), 16u * 1024 + 4 * 200) << path;
        LineNumbers(text);
    }
}

}  // namespace
