// The serving side of tqd: listening sockets, the queue of accepted
// connections, the pool of workers and the handling of one connection.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "daemon/TqdConfig.h"
#include "host/CQiSocket.h"

namespace tqd {

typedef std::chrono::steady_clock Clock;

// Owns a descriptor and closes it when it goes.
class OwnedFd {
public:
    explicit OwnedFd(int fd = -1) : m_fd(fd) {}
    ~OwnedFd() { reset(); }
    OwnedFd(OwnedFd&& other) noexcept : m_fd(other.release()) {}
    OwnedFd& operator=(OwnedFd&& other) noexcept;
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;

    int get() const { return m_fd; }
    int release();
    void reset(int fd = -1);

private:
    int m_fd;
};

// An accepted connection waiting for a worker.
struct PendingConnection {
    OwnedFd fd;
    Clock::time_point acceptedAt;
    std::string peer;  // "127.0.0.1:50000", for the log
};

// Bounded queue of accepted connections between the acceptor and the workers.
class ConnectionQueue {
public:
    explicit ConnectionQueue(std::size_t limit) : m_limit(limit) {}
    // False (the connection stays with the caller) when full or closed.
    bool push(PendingConnection& connection);
    // Waits for a connection; false once the queue is closed and empty.
    bool pop(PendingConnection* connection);
    // No more pushes; pops drain what is left.
    void close();
    std::size_t size() const;

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<PendingConnection> m_items;
    std::size_t m_limit;
    bool m_closed = false;
};

// Reading one request frame against a deadline over the whole read.
enum class FrameStatus { Complete, Truncated, TimedOut, Failed };
struct FrameReadResult {
    FrameStatus status;
    std::size_t received;
    int error;  // errno for Failed
};
FrameReadResult ReadFrame(int fd, unsigned char* buffer, std::size_t length, Clock::time_point deadline);

// Why a complete frame does not go to the handler; empty when it does.
std::string FrameProblem(const unsigned char* frame);

// The 1024-byte reply that carries `text` (cut to 1023 characters).
std::vector<char> MakeReply(const std::string& text);
// The access-denied error as the reply text: code 5 and `message`.
std::string AccessDeniedText(const std::string& message);

typedef std::function<void(CQiSocket, void*)> RequestHandler;
typedef std::function<std::string(int fd)> PeerCheck;

struct ServeContext {
    RequestHandler handler;
    // Empty when the peer may be served, else the denial text.
    PeerCheck checkPeer;
    int frameSeconds = kFrameSeconds;
};

// Serves one connection: reads the frame, checks it and the peer, calls the
// handler (or sends the denial), and closes the connection.
void ServeConnection(PendingConnection connection, const ServeContext& context);

struct Listener {
    OwnedFd fd;
    std::string address;  // "127.0.0.1:8400"
};

// Opens a listening socket (SO_REUSEADDR, IPv6 only for IPv6) on each
// address.  An IPv6 address on a host without IPv6 is left out and named in
// *skipped; any other failure, or no listener at all, gives false and a
// message saying what to do.
bool OpenListeners(const std::vector<std::string>& addresses, std::uint16_t port,
                   std::vector<Listener>* listeners, std::vector<std::string>* skipped, std::string* problem);

// Accepts on the listeners and hands connections to a pool of workers.
class Server {
public:
    Server(std::vector<Listener> listeners, ServeContext context, unsigned workers,
           std::size_t queueLimit = kQueueLimit);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Starts the workers and accepts until `stopFd` becomes readable; then
    // closes the listeners and returns.
    void acceptUntil(int stopFd);
    // Requests accepted but not finished.
    std::size_t inFlight() const;
    // Lets the workers finish the queued and running requests within
    // `limit`.  True when they did; false when some are still running (the
    // workers are then left to the process's exit).
    bool drain(std::chrono::milliseconds limit);

private:
    struct Shared;
    void startWorkers();

    std::vector<Listener> m_listeners;
    std::shared_ptr<Shared> m_shared;
    unsigned m_workerCount;
    std::vector<std::thread> m_workers;
};

}  // namespace tqd
