// rcgMgrHandler on one request frame, every command it runs answered by a
// runner scripted from the same input, the cgroup filesystem an in-memory
// one.  Input: the 368-byte frame (a shorter input is padded with zeros),
// then the runner's replies separated by 0xFF, each a status byte (the
// status plus one), the output, 0xFE and the error output.  Commands beyond
// the script succeed with no output.  The lowest bit of the frame header's
// byte 4, which the handler never reads, picks the host: 0 a cgroup v1 cpu
// hierarchy (the cgroup tools, scripted), 1 cgroup2 only (the in-memory
// filesystem).  Nothing real is ever run, written or created.
//
// Besides the sanitizers it checks that the reply is 1024 bytes ending in a
// NUL; that for a name the controller refuses no command runs and nothing
// is written or made; that no command line holds a byte that the shell
// would take for more than a word of a fixed command (a line break only at
// its end); and that every folder made or file written lies below the
// cgroup2 mount without "." or ".." steps.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "host/TqProcess.h"
#include "rcg/RcgNames.h"
#include "tests/support/FakeCgroupFs.h"
#include "service/TqRcgHandler.h"
#include "service/TqRcgProtocol.h"

namespace {

struct Reply {
    int status = 0;
    std::string out;
    std::string err;
};

// Answers each command with the next scripted reply and records it.
class ScriptRunner : public CommandRunner {
public:
    explicit ScriptRunner(std::vector<Reply> replies) : m_replies(std::move(replies)) {}
    int run(const std::string& command, std::string* out, std::string* err, int) override {
        m_commands.push_back(command);
        Reply reply;
        if (m_next < m_replies.size()) reply = m_replies[m_next++];
        *out = reply.out;
        *err = reply.err;
        return reply.status;
    }
    const std::vector<std::string>& commands() const { return m_commands; }

private:
    std::vector<Reply> m_replies;
    std::size_t m_next = 0;
    std::vector<std::string> m_commands;
};

std::vector<Reply> ParseReplies(const std::uint8_t* data, std::size_t size) {
    std::vector<Reply> replies;
    std::size_t at = 0;
    while (at < size) {
        std::size_t end = at;
        while (end < size && data[end] != 0xFF) ++end;
        Reply reply;
        if (end > at) {
            reply.status = static_cast<int>(data[at]) - 1;
            const std::string body(reinterpret_cast<const char*>(data) + at + 1, end - at - 1);
            const std::size_t split = body.find('\xFE');
            reply.out = body.substr(0, split);
            if (split != std::string::npos) reply.err = body.substr(split + 1);
        }
        replies.push_back(reply);
        at = end + 1;
    }
    return replies;
}

std::string g_folder;
std::string g_storePath;
std::string g_logFolder;
const char kAliasTarget[] = "korvane";

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// A fresh store for every input: the group list does not grow from one to
// the next, and the log is emptied.
void ResetStore() {
    WriteText(g_storePath, "[Base]\nsTQLOGDIR=" + g_logFolder + "\nsTQRCGMGRKORVANEGROUP=" + kAliasTarget + "\n");
    WriteText(g_logFolder + "/Instance001.log", "");
}

bool SafeCommand(const std::string& command) {
    for (std::size_t i = 0; i < command.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(command[i]);
        if (std::isalnum(c) || std::strchr(" _.-/:,=|\"", c) != nullptr) continue;
        if (c == '\n' && i + 1 == command.size()) continue;
        return false;
    }
    return true;
}

void RemoveFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(g_folder, ignored);
}

const char kCgroup2Mount[] = "/sys/fs/cgroup";
// A v1 cpu hierarchy beside an (empty) unified one, as on a hybrid host.
const char kV1Mounts[] =
    "cgroup /sys/fs/cgroup/cpu,cpuacct cgroup rw,nosuid,nodev,noexec,relatime,cpu,cpuacct 0 0\n";

bool PathBelowMount(const std::string& path) {
    const std::string prefix = std::string(kCgroup2Mount) + "/";
    if (path.compare(0, prefix.size(), prefix) != 0) return false;
    return (path + "/").find("/./") == std::string::npos && (path + "/").find("/../") == std::string::npos &&
           path.find("//") == std::string::npos;
}

[[noreturn]] void Finding(const char* what, const std::string& detail) {
    std::fprintf(stderr, "FINDING: %s: %s\n", what, detail.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The store is written with fsync on every creation: in memory
    // (/dev/shm) that costs nothing, on a disk it would set the pace.
    // TQFUZZ_WORK names the folder to work in (fuzz/run.sh removes it).
    const char* work = getenv("TQFUZZ_WORK");
    std::string parent = work != nullptr ? work : access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string folder = parent + "/tqfuzz_handler.XXXXXX";
    if (mkdtemp(&folder[0]) == nullptr) std::abort();
    g_folder = folder;
    std::atexit(RemoveFolder);
    g_storePath = folder + "/store.conf";
    g_logFolder = folder + "/log";
    setenv("TQ_CONFIG", g_storePath.c_str(), 1);
    setenv("TQ_INSTANCE", "Instance001", 1);
    unsetenv("TQ_LOG_STDERR");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<unsigned char> frame(kTqRcgFrameSize, 0);
    std::memcpy(frame.data(), data, std::min(size, frame.size()));
    const std::size_t consumed = std::min(size, frame.size());
    ScriptRunner runner(ParseReplies(data + consumed, size - consumed));
    TqProcess::ScopedRunner installed(&runner);
    const bool cgroup2 = (frame[4] & 1) != 0;
    tqtest::FakeCgroupFs fs(cgroup2 ? kCgroup2Mount : "/sys/fs/cgroup/unified",
                            cgroup2 ? "cpuset cpu io memory pids" : "", cgroup2 ? "" : kV1Mounts);
    const std::set<std::string> dirsBefore = fs.dirs;
    ResetStore();

    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) std::abort();
    rcgMgrHandler(CQiSocket(ends[0]), frame.data());
    std::string reply;
    char buffer[2048];
    for (;;) {
        const ssize_t count = recv(ends[1], buffer, sizeof(buffer), MSG_DONTWAIT);
        if (count <= 0) break;
        reply.append(buffer, static_cast<std::size_t>(count));
    }
    close(ends[0]);
    close(ends[1]);

    if (reply.size() != k_TqRcgMgrCQiErrorSize || reply.back() != '\0') Finding("reply", reply);
    std::string name = DecodeRcgFrame(frame.data()).name;
    if (name == k_TQRCGMGR_UseKorvaneGroup) name = kAliasTarget;
    if (!TqRcgCtrllr::detail::RcgNameProblem(name).empty()) {
        if (!runner.commands().empty()) Finding("command run for a refused name", runner.commands().front());
        if (!fs.writes.empty()) Finding("file written for a refused name", fs.writes.front());
        if (fs.dirs != dirsBefore) Finding("folder made or removed for a refused name", name);
    }
    for (const std::string& command : runner.commands()) {
        if (!SafeCommand(command)) Finding("unsafe command line", command);
    }
    for (const std::string& write : fs.writes) {
        if (!PathBelowMount(write.substr(0, write.find('=')))) Finding("file written outside the mount", write);
    }
    for (const std::string& dir : fs.dirs) {
        if (dirsBefore.count(dir) == 0 && !PathBelowMount(dir)) Finding("folder made outside the mount", dir);
    }
    return 0;
}
