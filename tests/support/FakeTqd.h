// A stand-in for the daemon tqd on a loopback port: it records every request
// frame it receives and answers from a script.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tqtest {

class FakeTqd {
public:
    struct Answer {
        enum Kind {
            Text,         // the text, its NUL and zeros up to 1024 bytes
            Raw,          // exactly the given bytes
            CloseAtOnce,  // nothing: the connection is closed after the frame
            Silent,       // nothing, and the connection stays open until the fake goes
        };
        Kind kind = Text;
        std::string bytes;
    };
    static Answer Text(const std::string& text) { return Answer{Answer::Text, text}; }
    static Answer Raw(const std::string& bytes) { return Answer{Answer::Raw, bytes}; }
    static Answer CloseAtOnce() { return Answer{Answer::CloseAtOnce, ""}; }
    static Answer Silent() { return Answer{Answer::Silent, ""}; }

    // Listens on 127.0.0.1 at a port of the system's choosing.  Answers are
    // used in order, one per connection; once they run out, "Success".
    explicit FakeTqd(std::vector<Answer> answers = {});
    ~FakeTqd();
    FakeTqd(const FakeTqd&) = delete;
    FakeTqd& operator=(const FakeTqd&) = delete;

    int port() const { return m_port; }
    // The bytes received on each connection, up to the client's end of
    // sending, in the order of the connections.
    std::vector<std::string> frames() const;

private:
    void serve();
    void answer(int fd);

    int m_listenFd = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::deque<Answer> m_answers;
    std::vector<std::string> m_frames;
    std::thread m_thread;
};

// A loopback port on which nothing listens: bound, never listening, so a
// connection attempt is refused for as long as the object lives.
class RefusedPort {
public:
    // Binds `port` (0: any free one).  ok() is false when it is taken.
    explicit RefusedPort(int port = 0);
    ~RefusedPort();
    RefusedPort(const RefusedPort&) = delete;
    RefusedPort& operator=(const RefusedPort&) = delete;
    bool ok() const { return m_fd >= 0; }
    int port() const { return m_port; }

private:
    int m_fd = -1;
    int m_port = 0;
};

// The store text that points the client functions at `port` on 127.0.0.1.
std::string StoreForPort(int port, const std::string& more = "");

}  // namespace tqtest
