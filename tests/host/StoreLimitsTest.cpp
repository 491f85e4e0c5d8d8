// The configuration store never hides a failure: a file too large or not a
// file, a write that fails; malformed lines logged once for each version of
// the file; the temporary files of writes that did not finish.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "host/StoreText.h"
#include "host/TQPlatformInfo.h"
#include "tests/support/TestSupport.h"

namespace {

using tqtest::DefaultFolderLog;
using tqtest::EnvGuard;
using tqtest::TempStore;
using tqtest::TemporaryFiles;

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1)) ++count;
    return count;
}

TQPlatformInfo& Focused(TQPlatformInfo& store) {
    store.setFocus(TQPI_Focus::getFocus());
    return store;
}

// A store of exactly `size` bytes: a value, then comment lines.
std::string StoreOfSize(std::size_t size) {
    std::string text = "[Base]\nkey=v\n";
    const std::string line = "# " + std::string(60, 'c') + "\n";
    while (text.size() + line.size() <= size) text += line;
    text += std::string(size - text.size(), '#');
    return text;
}

TEST(StoreLimits, StoreLargerThanTheLimitIsRefusedNamingTheFileAndTheLimit) {
    DefaultFolderLog log;
    TempStore temp;
    temp.write(StoreOfSize(tqfw::kStoreSizeLimit + 1));
    TQPlatformInfo store;
    Focused(store);
    std::string value;
    EXPECT_EQ(0, store.getString("Base", "key", value));
    EXPECT_EQ(store.lastError(), TQStoreError::TooLarge);
    EXPECT_NE(store.lastErrorText().find(temp.path()), std::string::npos) << store.lastErrorText();
    EXPECT_NE(store.lastErrorText().find("16 MiB"), std::string::npos) << store.lastErrorText();
    std::string problem;
    EXPECT_FALSE(store.check(&problem));
    EXPECT_EQ(problem, store.lastErrorText());
    // Never overwritten.
    EXPECT_EQ(0, store.update("Base", "key", [](const std::string*) { return std::string("w"); }));
    EXPECT_EQ(store.lastError(), TQStoreError::TooLarge);
    EXPECT_EQ(temp.text().size(), tqfw::kStoreSizeLimit + 1);

    // At the limit it is read, and a later call forgets the old failure.
    temp.write(StoreOfSize(tqfw::kStoreSizeLimit));
    EXPECT_EQ(1, store.getString("Base", "key", value));
    EXPECT_EQ(value, "v");
    EXPECT_EQ(store.lastError(), TQStoreError::None);
    EXPECT_EQ(store.lastErrorText(), "");
    EXPECT_TRUE(store.check(&problem));
}

TEST(StoreLimits, StoreThatIsAFolderIsAnErrorNotDefaults) {
    DefaultFolderLog log;
    TempStore temp;
    const std::string folder = temp.dir() + "/folder.conf";
    ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
    EnvGuard config("TQ_CONFIG", folder.c_str());
    TQPlatformInfo store;
    Focused(store);
    std::string value;
    EXPECT_EQ(0, store.getString("Session", "nTQDPORT", value));
    EXPECT_EQ(store.lastError(), TQStoreError::NotAFile);
    EXPECT_NE(store.lastErrorText().find(folder + " is a folder"), std::string::npos) << store.lastErrorText();
    EXPECT_EQ(0, store.setString("Base", "k", "v", 1));
    EXPECT_EQ(store.lastError(), TQStoreError::NotAFile);
    std::string problem;
    EXPECT_FALSE(store.check(&problem));
    EXPECT_NE(problem.find(folder), std::string::npos);
}

TEST(StoreLimits, MissingStoreIsUsableAndAnAbsentValueIsNoError) {
    TempStore temp;
    TQPlatformInfo store;
    Focused(store);
    std::string value;
    EXPECT_EQ(0, store.getString("Base", "absent", value));
    EXPECT_EQ(store.lastError(), TQStoreError::None);
    EnvGuard config("TQ_CONFIG", (temp.dir() + "/none.conf").c_str());
    std::string problem;
    EXPECT_TRUE(Focused(store).check(&problem)) << problem;
}

// The soft file-size limit of this process, lowered while the object lives:
// writes past it fail with EFBIG as a full disk fails them with ENOSPC.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &m_saved);
        m_handler = signal(SIGXFSZ, SIG_IGN);
        struct rlimit lowered = m_saved;
        lowered.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        signal(SIGXFSZ, m_handler);
    }

private:
    struct rlimit m_saved;
    sighandler_t m_handler;
};

TEST(StoreLimits, WriteThatFailsIsReportedWithTheSystemsError) {
    TempStore temp;
    const std::string before = temp.text();
    TQPlatformInfo store;
    Focused(store);
    {
        FileSizeLimit limit(before.size() + 8);
        EXPECT_EQ(0, store.update("Base", "sTQRCGMGRGROUPS",
                                  [](const std::string*) { return std::string(" a_group_name_longer_than_8"); }));
    }
    EXPECT_EQ(store.lastError(), TQStoreError::CannotWrite);
    EXPECT_NE(store.lastErrorText().find("cannot write the configuration store " + temp.path() + ": "),
              std::string::npos)
        << store.lastErrorText();
    EXPECT_NE(store.lastErrorText().find(std::strerror(EFBIG)), std::string::npos) << store.lastErrorText();
    EXPECT_EQ(temp.text(), before);
    EXPECT_EQ(TemporaryFiles(temp.dir()), 0);
    // The same call works once there is room.
    EXPECT_EQ(1, store.update("Base", "sTQRCGMGRGROUPS", [](const std::string*) { return std::string(" g"); }));
    EXPECT_EQ(store.lastError(), TQStoreError::None);
}

TEST(StoreLimits, LockThatCannotBeTakenIsReported) {
    TempStore temp;
    ASSERT_EQ(0, mkdir((temp.path() + ".lock").c_str(), 0755));
    TQPlatformInfo store;
    EXPECT_EQ(0, Focused(store).setString("Base", "k", "v", 1));
    EXPECT_EQ(store.lastError(), TQStoreError::CannotLock);
    EXPECT_NE(store.lastErrorText().find(temp.path() + ".lock): "), std::string::npos) << store.lastErrorText();
}

TEST(StoreLimits, MalformedLinesAreLoggedOncePerVersionOfTheFileCutWithACount) {
    TempStore temp;
    const std::string longLine(10000, 'g');
    temp.write("[Base]\nsTQLOGDIR=" + temp.dir() + "/log\n" + longLine + "\nk=v\nbad\nworse\n");
    for (int read = 0; read < 5; ++read) {
        TQPlatformInfo store;
        std::string value;
        ASSERT_EQ(1, Focused(store).getString("Base", "k", value));
    }
    const std::string log = temp.log();
    EXPECT_EQ(Count(log, " ERROR TQPlatformInfo::read "), 1u) << log;
    EXPECT_NE(log.find("skipping malformed line 3 of " + temp.path() + ": " + std::string(200, 'g') +
                       "... (10000 bytes) (3 malformed lines in all)"),
              std::string::npos)
        << log;
    EXPECT_LT(log.size(), 600u);

    // A new version of the file is logged again, once.
    temp.write("[Base]\nsTQLOGDIR=" + temp.dir() + "/log\nk=v\nstill bad\n");
    for (int read = 0; read < 3; ++read) {
        TQPlatformInfo store;
        std::string value;
        ASSERT_EQ(1, Focused(store).getString("Base", "k", value));
    }
    EXPECT_EQ(Count(temp.log(), " ERROR TQPlatformInfo::read "), 2u) << temp.log();
    EXPECT_NE(temp.log().find(": still bad (1 malformed line in all)"), std::string::npos) << temp.log();
}

void MakeFile(const std::string& path, time_t age) {
    tqtest::WriteFile(path, "partial");
    const timespec times[2] = {{time(nullptr) - age, 0}, {time(nullptr) - age, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

TEST(StoreLimits, TemporaryFilesOfWritesThatDidNotFinishGoAfterAMinute) {
    TempStore temp;
    const std::string base = temp.path();
    MakeFile(base + ".tmp-a1B2c3", 120);  // left by a write a while ago
    MakeFile(base + ".tmp-d4E5f6", 5);    // a write may still be under way
    MakeFile(base + ".backup", 120);      // not the store's
    MakeFile(base + ".tmp-a1B2c3x", 120);
    MakeFile(temp.dir() + "/other.conf.tmp-a1B2c3", 120);
    TQPlatformInfo store;
    EXPECT_EQ(Focused(store).removeStaleTemporaries(60), 1);
    EXPECT_FALSE(Exists(base + ".tmp-a1B2c3"));
    for (const std::string& kept : {base + ".tmp-d4E5f6", base + ".backup", base + ".tmp-a1B2c3x",
                                    temp.dir() + "/other.conf.tmp-a1B2c3", base}) {
        EXPECT_TRUE(Exists(kept)) << kept;
    }
    EXPECT_NE(temp.log().find("INFO TQPlatformInfo::clean removed " + base + ".tmp-a1B2c3, a temporary file"),
              std::string::npos)
        << temp.log();
}

TEST(StoreLimits, TemporaryNamesAreTheStoresOwn) {
    const std::string pattern = tqfw::StoreTemporaryPattern("/etc/tq/Instance001.conf");
    EXPECT_EQ(pattern, "/etc/tq/Instance001.conf.tmp-XXXXXX");
    EXPECT_TRUE(tqfw::IsStoreTemporaryName("/etc/tq/Instance001.conf", "Instance001.conf.tmp-Zz09aQ"));
    for (const char* name : {"Instance001.conf.tmp-Zz09a", "Instance001.conf.tmp-Zz09a!", "Instance001.conf.lock",
                             "Instance001.conf.backup", "Instance002.conf.tmp-Zz09aQ", "Instance001.conf"}) {
        EXPECT_FALSE(tqfw::IsStoreTemporaryName("/etc/tq/Instance001.conf", name)) << name;
    }
}

TEST(StoreLimits, AWriteThatWouldPassTheLimitIsRefusedAndTheStoreStaysReadable) {
    DefaultFolderLog log;
    TempStore temp;
    struct Case {
        const char* what;
        std::size_t size;    // of the store before the write
        std::size_t added;   // bytes the write adds
        int stored;
    };
    const Case cases[] = {
        {"ends at the limit", tqfw::kStoreSizeLimit - 100, 100, 1},
        {"one byte past it", tqfw::kStoreSizeLimit - 100, 101, 0},
        {"far past it", tqfw::kStoreSizeLimit - 3000, 1 << 20, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        temp.write(StoreOfSize(c.size));
        TQPlatformInfo store;
        Focused(store);
        // "key=v" grows by the bytes added.
        const std::string value = "v" + std::string(c.added, 'w');
        EXPECT_EQ(c.stored, store.update("Base", "key", [&value](const std::string*) { return value; }));
        EXPECT_EQ(store.lastError(), c.stored ? TQStoreError::None : TQStoreError::WouldExceed);
        EXPECT_EQ(temp.text().size(), c.stored ? c.size + c.added : c.size);
        EXPECT_EQ(TemporaryFiles(temp.dir()), 0);
        std::string problem;
        EXPECT_TRUE(store.check(&problem)) << problem;
    }
}

TEST(StoreLimits, AnUpdateThatLeavesTheValueAsItIsWritesNothing) {
    TempStore temp;
    temp.write("[Base]\nkey=v\n");
    TQPlatformInfo store;
    Focused(store);
    const tqfw::FileIdentity before = tqfw::IdentityOfPath(temp.path());
    EXPECT_EQ(1, store.update("Base", "key", [](const std::string*) { return std::string("v"); }));
    EXPECT_EQ(1, store.update("Base", "key", [](const std::string*) { return std::optional<std::string>(); }));
    EXPECT_EQ(1, store.update("Base", "absent", [](const std::string*) { return std::optional<std::string>(); }));
    EXPECT_TRUE(before == tqfw::IdentityOfPath(temp.path()));
    EXPECT_FALSE(tqfw::IdentityOfPath(temp.path() + ".lock").exists) << "no lock was taken";
    EXPECT_EQ(1, store.update("Base", "key", [](const std::string*) { return std::string("w"); }));
    EXPECT_FALSE(before == tqfw::IdentityOfPath(temp.path()));
}

}  // namespace
