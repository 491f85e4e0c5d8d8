// Running the tqd binary in tests: a free loopback port, a store for it, the
// daemon in front with an RAII guard, and a plain TCP client.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "service/TqRcgProtocol.h"
#include "tests/support/TestSupport.h"

namespace tqdtest {

// $TQ_BUILD_DIR/tqd (or ./tqd when unset).
std::string TqdPath();
std::string BuildDir();

// A port on which nothing listens on 127.0.0.1 nor ::1 right now.
std::uint16_t FreePort();
bool HaveIpv6Loopback();

// A frame as the client side sends it.
std::vector<unsigned char> Frame(RcgMsgType type, const std::string& name, std::uint32_t share = 0,
                                 const std::vector<unsigned int>& pids = {});
// A frame of an unknown type: answered by the real handler without running
// any command.
std::vector<unsigned char> HarmlessFrame();
std::string TextOf(const std::string& reply);
// "[Win32 error 1630] The value of RcgMsgType is not supported."
extern const char kUnsupportedReply[];

// Runs tqd with `args` to its end (killed after `seconds`).
struct RunResult {
    int status = -1;  // exit status, or -1 when it did not exit by itself
    std::string out;
    std::string err;
};
RunResult RunTqd(const std::vector<std::string>& args, double seconds = 10);

// tqd --foreground on a free port with a store of its own (log folder,
// debug level 4 so that accepts are logged, this process's uid allowed);
// stopped with SIGTERM (then SIGKILL) when the object goes.
class TqdProcess {
public:
    // `sessionText`: more lines for section [Session]; `baseText`: for [Base].
    explicit TqdProcess(const std::string& sessionText = "", const std::vector<std::string>& args = {},
                        const std::string& baseText = "", bool allowOwnUid = true);
    ~TqdProcess();
    TqdProcess(const TqdProcess&) = delete;
    TqdProcess& operator=(const TqdProcess&) = delete;

    std::uint16_t port() const { return m_port; }
    pid_t pid() const { return m_pid; }
    bool running() const { return m_pid > 0; }
    const tqtest::TempStore& store() const { return m_store; }
    std::string log() const { return m_store.log(); }
    std::string errText() const;
    // Waits until the log holds `text`; false after `seconds`.
    bool waitForLog(const std::string& text, double seconds = 10) const;
    // SIGTERM and wait; the exit status, or -1 when it had to be killed.
    int stop(double seconds = 20);
    void signal(int number);
    // Waits for the exit; the exit status, or -1 on time-out.
    int wait(double seconds);
    // Stops tqd when it runs and starts it again on the same store and
    // port, as it is now; false when it does not start listening.
    bool restart();

private:
    bool launch();

    std::vector<std::string> m_args;
    tqtest::TempStore m_store;
    std::uint16_t m_port = 0;
    pid_t m_pid = -1;
    std::string m_errPath;
};

// A connected TCP client; closes on destruction.
class Client {
public:
    explicit Client(std::uint16_t port, const char* address = "127.0.0.1");
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    bool send(const void* data, std::size_t length);
    bool send(const std::vector<unsigned char>& data) { return send(data.data(), data.size()); }
    void endSending();
    // Bytes until the server closes (`ended` true) or `seconds` pass.
    std::string readToEnd(double seconds, bool* ended = nullptr);
    void close();

private:
    int m_fd = -1;
};

// Prometheus' promtool: $TQ_PROMTOOL, else promtool on the PATH, else
// tools/promtool of $TQ_BUILD_DIR or of build/ in $TQ_SOURCE_DIR (where the
// set-up puts it); empty when none.
std::string PromtoolPath();
// `promtool check metrics` on the file: empty when it passes, else what it
// said.
std::string PromtoolProblems(const std::string& promtool, const std::string& path);
// Whether the host's hierarchy holds `group`, and its quota text
// (cpu.cfs_quota_us, or the first word of cpu.max).
bool GroupExists(const std::string& group);
std::string QuotaOf(const std::string& group);

// Sends `frame`, ends sending, returns the reply.
std::string Ask(std::uint16_t port, const std::vector<unsigned char>& frame, double seconds = 20);

}  // namespace tqdtest
