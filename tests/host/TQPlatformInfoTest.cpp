#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "host/TQPlatformInfo.h"
#include "tests/support/TestSupport.h"

namespace {

using tqtest::EnvGuard;
using tqtest::TempStore;

std::string Get(const char* section, const char* key) {
    TQPlatformInfo store;
    store.setFocus(TQPI_Focus::getFocus());
    std::string value;
    if (!store.getString(section, key, value)) return "<none>";
    return value;
}

int Set(const char* section, const char* key, const std::string& value) {
    TQPlatformInfo store;
    store.setFocus(TQPI_Focus::getFocus());
    return store.setString(section, key, value.data(), static_cast<std::int32_t>(value.size()));
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1)) ++count;
    return count;
}

TEST(TQPlatformInfoTest, FocusComesFromTheEnvironment) {
    {
        EnvGuard instance("TQ_INSTANCE", nullptr);
        EXPECT_EQ("Instance001", TQPI_Focus::getFocus());
    }
    {
        EnvGuard instance("TQ_INSTANCE", "Inst7");
        EXPECT_EQ("Inst7", TQPI_Focus::getFocus());
    }
    for (const char* unsafe : {"", "../etc/x", "a/b", ".", ".."}) {
        EnvGuard instance("TQ_INSTANCE", unsafe);
        EXPECT_EQ("Instance001", TQPI_Focus::getFocus()) << unsafe;
    }
}

TEST(TQPlatformInfoTest, PathFollowsConfigVariableOrFocus) {
    EnvGuard instance("TQ_INSTANCE", "Inst7");
    {
        EnvGuard config("TQ_CONFIG", nullptr);
        TQPlatformInfo store;
        EXPECT_EQ("/etc/tq/Inst7.conf", store.path());
        store.setFocus("Other");
        EXPECT_EQ("/etc/tq/Other.conf", store.path());
        store.setFocus("../../tmp/x");
        EXPECT_EQ("/etc/tq/Inst7.conf", store.path());
    }
    EnvGuard config("TQ_CONFIG", "/tmp/some/where.conf");
    TQPlatformInfo store;
    store.setFocus("Other");
    EXPECT_EQ("/tmp/some/where.conf", store.path());
}

TEST(TQPlatformInfoTest, ValuesRoundTripByteForByte) {
    TempStore temp;
    const std::vector<std::string> values = {
        " group1 group2", "trailing  ", "  both \t", "a=b==c", "x # not a comment", "", "[not a section]",
        "%s %n 100%", "\x01\x7f\xc3\xa9"};
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::string key = "sKEY" + std::to_string(i);
        ASSERT_NE(0, Set("Base", key.c_str(), values[i])) << i;
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::string key = "sKEY" + std::to_string(i);
        EXPECT_EQ(values[i], Get("Base", key.c_str())) << i;
        EXPECT_NE(std::string::npos, temp.text().find("\n" + key + "=" + values[i] + "\n")) << i;
    }
    EXPECT_EQ(0, temp.text().compare(0, 7, "[Base]\n"));
}

TEST(TQPlatformInfoTest, SectionsAndKeysAreNotConfused) {
    TempStore temp("[A]\nk=1\nK=2\nkk=3\n[B]\nk=4\n");
    EXPECT_EQ("1", Get("A", "k"));
    EXPECT_EQ("2", Get("A", "K"));
    EXPECT_EQ("3", Get("A", "kk"));
    EXPECT_EQ("4", Get("B", "k"));
    EXPECT_EQ("<none>", Get("a", "k"));
    EXPECT_EQ("<none>", Get("C", "k"));
    EXPECT_EQ("<none>", Get("Base", "k"));
    ASSERT_NE(0, Set("B", "k", "9"));
    EXPECT_EQ("1", Get("A", "k"));
    EXPECT_EQ("9", Get("B", "k"));
    ASSERT_NE(0, Set("A", "new", "5"));
    EXPECT_EQ("[A]\nk=1\nK=2\nkk=3\nnew=5\n[B]\nk=9\n", temp.text().substr(temp.text().find("[A]")));
}

TEST(TQPlatformInfoTest, BufferReadNeverWritesPastTheLength) {
    TempStore temp("fits=" + std::string(127, 'a') + "\ntoolong=" + std::string(128, 'b') + "\n");
    TQPlatformInfo store;
    store.setFocus(TQPI_Focus::getFocus());

    char buffer[140];
    std::memset(buffer, '#', sizeof buffer);
    std::int32_t length = 128;
    ASSERT_NE(0, store.getString("Base", "fits", buffer, &length));
    EXPECT_EQ(127, length);
    EXPECT_EQ(std::string(127, 'a'), std::string(buffer));
    for (std::size_t i = 128; i < sizeof buffer; ++i) EXPECT_EQ('#', buffer[i]) << i;

    std::memset(buffer, '#', sizeof buffer);
    length = 128;
    EXPECT_EQ(0, store.getString("Base", "toolong", buffer, &length));
    EXPECT_EQ(128, length);
    for (std::size_t i = 0; i < sizeof buffer; ++i) ASSERT_EQ('#', buffer[i]) << i;

    length = 0;
    EXPECT_EQ(0, store.getString("Base", "fits", buffer, &length));
    length = 128;
    EXPECT_EQ(0, store.getString("Base", "absent", buffer, &length));
    EXPECT_EQ('#', buffer[0]);

    std::string value;
    ASSERT_NE(0, store.getString("Base", "toolong", value));
    EXPECT_EQ(std::string(128, 'b'), value);
}

TEST(TQPlatformInfoTest, LongValuesRoundTripThroughStrings) {
    TempStore temp;
    std::string value;
    for (int i = 0; i < 10000; ++i) value += static_cast<char>('a' + i % 26);
    ASSERT_NE(0, Set("Base", "sLONG", value));
    EXPECT_EQ(value, Get("Base", "sLONG"));
}

TEST(TQPlatformInfoTest, MissingFileReadsEmptyAndIsCreatedOnFirstWrite) {
    TempStore temp;
    const std::string path = temp.dir() + "/new/folder/store.conf";
    EnvGuard config("TQ_CONFIG", path.c_str());
    mode_t oldMask = umask(022);
    EXPECT_EQ("<none>", Get("Base", "k"));
    struct stat st;
    EXPECT_NE(0, stat(path.c_str(), &st));
    ASSERT_NE(0, Set("Base", "k", "v"));
    umask(oldMask);
    EXPECT_EQ("[Base]\nk=v\n", tqtest::ReadFile(path));
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 07777);
    ASSERT_EQ(0, stat((temp.dir() + "/new/folder").c_str(), &st));
    EXPECT_EQ(0755u, st.st_mode & 07777);
    EXPECT_EQ(0, stat((path + ".lock").c_str(), &st));
}

TEST(TQPlatformInfoTest, MalformedLineIsSkippedLoggedAndKept) {
    TempStore temp("garbage line\nkey=v\n");
    EXPECT_EQ("v", Get("Base", "key"));
    const std::string line = "skipping malformed line 3 of " + temp.path() + ": garbage line";
    EXPECT_EQ(1u, Count(temp.log(), line)) << temp.log();
    EXPECT_EQ(1u, Count(temp.log(), " ERROR TQPlatformInfo::read ")) << temp.log();
    ASSERT_NE(0, Set("Base", "key", "w"));
    EXPECT_NE(std::string::npos, temp.text().find("\ngarbage line\nkey=w\n"));
}

TEST(TQPlatformInfoTest, WritesKeepCommentsUnknownLinesAndOrder) {
    const std::string rest =
        "# settings of the test\n\n[Session]\n# port\nnTQDPORT=8400\nsUNKNOWN= x \n\n[Zeta]\nz=1\n";
    TempStore temp(rest);
    const std::string head = temp.text().substr(0, temp.text().size() - rest.size());
    ASSERT_NE(0, Set("Session", "nTQDPORT", "8500"));
    ASSERT_NE(0, Set("Session", "sNEW", "n"));
    ASSERT_NE(0, Set("Extra", "e", "1"));
    EXPECT_EQ(head +
                  "# settings of the test\n\n[Session]\n# port\nnTQDPORT=8500\nsUNKNOWN= x \nsNEW=n\n\n"
                  "[Zeta]\nz=1\n[Extra]\ne=1\n",
              temp.text());
}

TEST(TQPlatformInfoTest, RefusesLineBreaksAndBadKeys) {
    TempStore temp("k=1\n");
    const std::string before = temp.text();
    EXPECT_EQ(0, Set("Base", "k", "a\nb=2"));
    EXPECT_EQ(0, Set("Base", "k", "a\rb"));
    EXPECT_EQ(0, Set("Base", "a=b", "1"));
    EXPECT_EQ(0, Set("Base", "", "1"));
    EXPECT_EQ(0, Set("Base", "#k", "1"));
    EXPECT_EQ(0, Set("B]ase", "k", "1"));
    TQPlatformInfo store;
    EXPECT_EQ(0, store.setString(nullptr, "k", "1", 1));
    EXPECT_EQ(0, store.setString("Base", nullptr, "1", 1));
    EXPECT_EQ(0, store.setString("Base", "k", nullptr, 1));
    EXPECT_EQ(0, store.setString("Base", "k", "1", -1));
    EXPECT_EQ(before, temp.text());
}

TEST(TQPlatformInfoTest, StoreThatCannotBeReadIsNeverOverwritten) {
    TempStore temp;
    const std::string folder = temp.dir() + "/store-is-a-folder";
    ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
    EnvGuard config("TQ_CONFIG", folder.c_str());
    // The refusal is logged, and with no readable store the log goes to its
    // default folder: use a log file of our own there and remove it.
    const std::string instance = "tqtest_" + std::to_string(getpid());
    EnvGuard focus("TQ_INSTANCE", instance.c_str());
    struct stat st;
    const bool hadLogFolder = stat("/var/log/tq", &st) == 0;
    EXPECT_EQ(0, Set("Base", "k", "v"));
    unlink(("/var/log/tq/" + instance + ".log").c_str());
    if (!hadLogFolder) rmdir("/var/log/tq");
    ASSERT_EQ(0, stat(folder.c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST(TQPlatformInfoTest, ReadsNumbers) {
    TempStore temp(
        "plain=42\nblanks= 7 \nempty=\nneg=-1\nhex=0x10\nmixed=12a\nspace=4 2\nmax=18446744073709551615\n"
        "over=18446744073709551616\n");
    TQPlatformInfo store;
    store.setFocus(TQPI_Focus::getFocus());
    std::uint64_t number = 99;
    ASSERT_NE(0, store.getNumber("Base", "plain", number));
    EXPECT_EQ(42u, number);
    ASSERT_NE(0, store.getNumber("Base", "blanks", number));
    EXPECT_EQ(7u, number);
    ASSERT_NE(0, store.getNumber("Base", "max", number));
    EXPECT_EQ(UINT64_MAX, number);
    number = 99;
    for (const char* key : {"empty", "neg", "hex", "mixed", "space", "over", "absent"}) {
        EXPECT_EQ(0, store.getNumber("Base", key, number)) << key;
        EXPECT_EQ(99u, number) << key;
    }
    ASSERT_NE(0, store.setNumber("Session", "nTQDPORT", 8401));
    ASSERT_NE(0, store.getNumber("Session", "nTQDPORT", number));
    EXPECT_EQ(8401u, number);
    EXPECT_EQ("8401", Get("Session", "nTQDPORT"));
}

TEST(TQPlatformInfoTest, UpdateSeesTheCurrentValue) {
    TempStore temp;
    TQPlatformInfo store;
    store.setFocus(TQPI_Focus::getFocus());
    std::vector<std::string> seen;
    auto append = [&seen](const std::string* current) {
        seen.push_back(current ? "[" + *current + "]" : "null");
        return (current ? *current : std::string()) + " g";
    };
    ASSERT_NE(0, store.update("Base", "sTQRCGMGRGROUPS", append));
    ASSERT_NE(0, store.update("Base", "sTQRCGMGRGROUPS", append));
    EXPECT_EQ((std::vector<std::string>{"null", "[ g]"}), seen);
    EXPECT_EQ(" g g", Get("Base", "sTQRCGMGRGROUPS"));
    EXPECT_EQ(0, store.update("Base", "k", [](const std::string*) { return std::string("a\nb"); }));
    EXPECT_EQ("<none>", Get("Base", "k"));
}

std::set<std::string> Entries(const std::string& value) {
    std::istringstream in(value);
    std::set<std::string> entries;
    std::string word;
    while (in >> word) entries.insert(word);
    return entries;
}

TEST(TQPlatformInfoTest, ConcurrentProcessesLoseNoUpdate) {
    TempStore temp;
    constexpr int kProcesses = 4;
    constexpr int kUpdates = 50;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failures = 0;
            for (int i = 0; i < kUpdates; ++i) {
                TQPlatformInfo store;
                store.setFocus(TQPI_Focus::getFocus());
                const std::string entry = " p" + std::to_string(p) + "-" + std::to_string(i);
                if (!store.update("Base", "sLIST",
                                  [&entry](const std::string* current) { return (current ? *current : "") + entry; })) {
                    ++failures;
                }
            }
            _exit(failures == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::set<std::string> entries = Entries(Get("Base", "sLIST"));
    EXPECT_EQ(static_cast<std::size_t>(kProcesses * kUpdates), entries.size());
    for (int p = 0; p < kProcesses; ++p) {
        for (int i = 0; i < kUpdates; ++i) {
            EXPECT_EQ(1u, entries.count("p" + std::to_string(p) + "-" + std::to_string(i)));
        }
    }
    // No temporary file is left behind.
    EXPECT_EQ(std::string::npos, temp.text().find("XXXXXX"));
}

TEST(TQPlatformInfoTest, ConcurrentThreadsLoseNoUpdate) {
    TempStore temp;
    constexpr int kThreads = 4;
    constexpr int kUpdates = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kUpdates; ++i) {
                TQPlatformInfo store;
                store.setFocus(TQPI_Focus::getFocus());
                const std::string entry = " t" + std::to_string(t) + "-" + std::to_string(i);
                EXPECT_NE(0, store.update("Base", "sLIST", [&entry](const std::string* current) {
                    return (current ? *current : "") + entry;
                }));
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(static_cast<std::size_t>(kThreads * kUpdates), Entries(Get("Base", "sLIST")).size());
}

TEST(TQPlatformInfoTest, PhysicalMachineAndHostNames) {
    struct utsname uts;
    ASSERT_EQ(0, uname(&uts));
    {
        TempStore temp;
        TQPlatformInfo store;
        store.setFocus(TQPI_Focus::getFocus());
        const char* self = store.getPhysicalMachine();
        ASSERT_NE(nullptr, self);
        EXPECT_STREQ(uts.nodename, self);
        std::string host;
        ASSERT_NE(0, store.getClientHostNameMangled(self, host));
        EXPECT_EQ("localhost", host);
        ASSERT_NE(0, store.getClientHostNameMangled("otherclient", host));
        EXPECT_EQ("otherclient", host);
        EXPECT_EQ(0, store.getClientHostNameMangled("", host));
    }
    {
        TempStore temp("[Session]\nsCLIENTNAME=client7\n");
        TQPlatformInfo store;
        store.setFocus(TQPI_Focus::getFocus());
        EXPECT_STREQ("client7", store.getPhysicalMachine());
        std::string host;
        ASSERT_NE(0, store.getClientHostNameMangled("client7", host));
        EXPECT_EQ("localhost", host);
        ASSERT_NE(0, store.getClientHostNameMangled(uts.nodename, host));
        EXPECT_EQ(uts.nodename, host);
    }
    {
        TempStore temp("[Session]\nsTQDHOST=daemon.example\n");
        TQPlatformInfo store;
        store.setFocus(TQPI_Focus::getFocus());
        std::string host;
        ASSERT_NE(0, store.getClientHostNameMangled("anything", host));
        EXPECT_EQ("daemon.example", host);
    }
}

}  // namespace
