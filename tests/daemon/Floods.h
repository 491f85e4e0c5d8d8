// Local users that try to lock others out of tqd, each a child process that
// runs as that user until it is stopped:
//  - ConnectionFlood holds many connections, silent or each with a complete
//    request frame sent, and opens a new one as soon as tqd closes one (or
//    resets each right after its connect);
//  - DescriptorHogs are processes that hold many descriptors each, so that
//    a scan of every process's descriptors is slow;
//  - RequestThreads send real requests from many threads at once.
// The test process must be root to become another user.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tqdtest {

// A child process running `body` as `uid`, allowed `descriptors` open
// descriptors.  The body writes one byte on `report` once it is ready,
// runs until `control` becomes readable, then writes what it has to say on
// `report` and returns.
class AttackChild {
public:
    typedef std::function<void(int control, int report)> Body;
    AttackChild(uid_t uid, std::size_t descriptors, const Body& body);
    ~AttackChild();
    AttackChild(const AttackChild&) = delete;
    AttackChild& operator=(const AttackChild&) = delete;

    // It reported ready within 30 s.
    bool started() const { return m_ready; }
    pid_t pid() const { return m_pid; }
    // Ends the child; what it wrote after its ready byte.
    std::string stop();

private:
    pid_t m_pid = -1;
    int m_control = -1;
    int m_report = -1;
    bool m_ready = false;
    std::string m_said;
};

class ConnectionFlood {
public:
    struct Options {
        uid_t uid = 65534;
        std::uint16_t port = 0;
        int count = 1000;
        // Each connection is opened again after this time (0: never).
        int refreshSeconds = 0;
        // Sent on each connection once it is connected; empty: silent.
        std::vector<unsigned char> frame;
        // Each connection is reset (closed with SO_LINGER 0) right after its
        // connect, and opened again.
        bool reset = false;
    };
    struct Figures {
        long opened = 0;          // connections opened in all
        long answered = 0;        // closed by tqd after a reply
        long closedByServer = 0;  // closed by tqd without a reply
        long held = 0;            // open when the flood stopped
    };

    explicit ConnectionFlood(const Options& options);
    bool started() const { return m_child.started(); }
    Figures stop();

private:
    AttackChild m_child;
};

class DescriptorHogs {
public:
    DescriptorHogs(uid_t uid, int processes, int descriptors);
    bool started() const;
    void stop();

private:
    std::vector<std::unique_ptr<AttackChild>> m_children;
};

// `threads` threads of one process running as `uid`, each sending the
// requests that `requests(thread, round)` makes, one after the other, until
// stopped.
class RequestThreads {
public:
    typedef std::function<std::vector<std::vector<unsigned char>>(int thread, long round)> Requests;
    RequestThreads(uid_t uid, std::uint16_t port, int threads, const Requests& requests);
    bool started() const { return m_child.started(); }
    // Requests sent and answered with "Success".
    struct Figures {
        long sent = 0;
        long succeeded = 0;
    };
    Figures stop();

private:
    AttackChild m_child;
};

}  // namespace tqdtest
