// The serving side of tqd: listening sockets, the reading of request frames
// on one thread, the queue of complete requests, the pool of workers and the
// handling of one request.
#pragma once

#include <poll.h>
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

#include "daemon/TqdAdmission.h"
#include "daemon/TqdConfig.h"
#include "daemon/TqdEvents.h"
#include "daemon/TqdPeer.h"
#include "host/CQiSocket.h"
#include "host/UniqueFd.h"

namespace tqd {

typedef std::chrono::steady_clock Clock;

// A connection still sending its request frame.
struct PendingConnection {
    UniqueFd fd;
    Clock::time_point acceptedAt;
    std::string peer;  // "127.0.0.1:50000", for the log
    // Its owner, found at the accept: the slots it counts against, and the
    // denial text when it is not served.
    AdmissionKey owner;
    std::string denial;
    // Slots ran low for it at its accept or since: it must send its first
    // byte within the short deadline.
    bool hurried = false;
    // The frame so far: sized to one frame by FrameReader::add, of which
    // `received` bytes have arrived.
    std::vector<unsigned char> frame;
    std::size_t received = 0;
};

// A complete request whose header is right, with its connection: what the
// workers take.
struct Request {
    UniqueFd fd;
    std::string peer;
    std::vector<unsigned char> frame;  // exactly one frame
    std::string denial;                // not empty: send it instead of serving
};

// Bounded queue of requests between the reading thread and the workers.
// It also counts the requests taken and not yet finished, so that a request
// is never between two counts.
class RequestQueue {
public:
    explicit RequestQueue(std::size_t limit) : m_limit(limit) {}
    // False (the request stays with the caller) when full or closed.
    bool push(Request& request);
    // Waits for a request; false once the queue is closed and empty.  A
    // request taken counts as busy until finished() is called for it.
    bool pop(Request* request);
    void finished();
    // No more pushes; pops drain what is left.
    void close();
    // Requests waiting.
    std::size_t size() const;
    // Requests waiting or busy.
    std::size_t unfinished() const;
    // Waits until no request is waiting or busy; false when `deadline`
    // passes first.
    bool waitUntilIdle(Clock::time_point deadline);

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_ready;
    std::condition_variable m_idle;
    std::deque<Request> m_items;
    std::size_t m_limit;
    std::size_t m_busy = 0;
    bool m_closed = false;
};

// What one look at a pending connection came to.
enum class ReadState {
    Waiting,   // more bytes to come
    Complete,  // the whole frame is there and its header is right
    Ended,     // the peer ended sending before the frame was complete
    Failed,    // receiving failed; `problem` says why
    Rejected   // the header is wrong; `problem` says how
};
struct ReadResult {
    ReadState state;
    std::string problem;
};

// Takes what has arrived on the connection without waiting, never more than
// the rest of its frame, and checks the header (FrameProblem) as soon as its
// first kCheckedHeaderBytes bytes are in, so that a wrong frame goes before
// the rest of it is read.
ReadResult ReadAvailable(PendingConnection* connection);

// Lines about connections closed in numbers: the first is written, then at
// most one every few seconds, which tells how many went unlogged.
class ThrottledLog {
public:
    // Whether a line is due at `now`; when it is, *unlogged is the number
    // of events that had no line of their own since the last one.
    bool due(Clock::time_point now, std::size_t* unlogged);

private:
    bool m_started = false;
    Clock::time_point m_last;
    std::size_t m_unlogged = 0;
};

// The connections still sending their frame, read without blocking by one
// thread that waits on all of them at once: a slow or silent client holds
// no worker.  Each has its whole frame to send within `frameSeconds` of its
// accept; each owner holds no more slots than Admission grants it, and a
// connection for which slots ran low (at its accept or while it waits) is
// closed when it has sent nothing within `limits.firstByteSeconds`.
class FrameReader {
public:
    typedef std::function<void(Request&)> Take;

    FrameReader(int frameSeconds, const AdmissionLimits& limits)
        : m_frameSeconds(frameSeconds), m_admission(limits) {}
    // `limit` slots, shared as AdmissionLimits::ForTotal says.
    FrameReader(int frameSeconds, std::size_t limit)
        : FrameReader(frameSeconds, AdmissionLimits::ForTotal(limit)) {}

    // Takes a newly accepted connection when its owner has room; otherwise
    // returns false and the connection stays with the caller, who closes it.
    // *verdict (when given) tells which.
    bool add(PendingConnection& connection, Admission::Verdict* verdict = nullptr);
    std::size_t size() const { return m_connections.size(); }
    // Appends one POLLIN entry per connection, in the order step() reads.
    void addPollEntries(std::vector<pollfd>* entries) const;
    // Milliseconds (rounded up) until the earliest deadline (the frame's, or
    // the first byte's once slots ran low), 0 once it has passed, -1 when no
    // connection is being read.
    int millisecondsToDeadline(Clock::time_point now) const;
    // Reads the connections whose entries (`entries` points at the first of
    // those addPollEntries appended) report an event, or every connection
    // when `entries` is null.  Each complete frame goes to `take` with its
    // connection; a connection that ends early, fails, sends a wrong header
    // or has its deadline pass by `now` is closed with a log line.
    void step(const pollfd* entries, Clock::time_point now, const Take& take);
    // On stop: closes the connections that have not sent a byte.
    void closeIdle();
    // Closes every connection, logging `why`.
    void closeAll(const char* why);
    const Admission& admission() const { return m_admission; }
    // Told about every connection closed for its frame (null: nobody).
    void setEvents(ServerEvents* events) { m_events = events; }

private:
    // When the connection's silence ends it: once it is hurried, or slots
    // run low for it as `admission` counts them.
    Clock::time_point silenceDeadline(const PendingConnection& connection, const Admission& admission) const;
    Clock::time_point frameDeadline(const PendingConnection& connection) const;
    // Tells the events (when there are any) about a connection closed for its frame.
    void refused(const PendingConnection& connection, bool incomplete, const std::string& why);
    // What step() does with one connection: true when it stays.
    bool stepOne(PendingConnection& connection, const pollfd* entry, Clock::time_point now,
                 const Admission& atStart, const Take& take);

    int m_frameSeconds;
    Admission m_admission;
    ThrottledLog m_silenceLog;
    ServerEvents* m_events = nullptr;
    std::vector<PendingConnection> m_connections;  // in the order of their accept
};

// The leading bytes of a frame that FrameProblem() looks at: the frame
// length and the request code.
constexpr std::size_t kCheckedHeaderBytes = 16;
// Why a frame does not go to the handler, judged on its first
// kCheckedHeaderBytes bytes; empty when it does.
std::string FrameProblem(const unsigned char* frame);

// The 1024-byte reply that carries `text` (cut to 1023 characters).
std::vector<char> MakeReply(const std::string& text);
// The access-denied error as the reply text: code 5 and `message`.
std::string AccessDeniedText(const std::string& message);

typedef std::function<void(CQiSocket, void*)> RequestHandler;
typedef std::function<PeerIdentity(int fd)> PeerIdentify;

struct ServeContext {
    RequestHandler handler;
    // Who the peer of a new connection is; asked once, at the accept.  When
    // empty every peer is served and counts as root.
    PeerIdentify identifyPeer;
    // A whole frame must arrive within this time after the accept.
    int frameSeconds = kFrameSeconds;
    // Told about refused peers and frames (null: nobody); outlives the server.
    ServerEvents* events = nullptr;
};

// Serves one request: calls the handler (or sends the request's denial),
// and closes the connection.
void ServeRequest(Request request, const ServeContext& context);

struct Listener {
    UniqueFd fd;
    std::string address;  // "127.0.0.1:8400"
};

// Opens a listening socket (SO_REUSEADDR, IPv6 only for IPv6) on each
// address.  An IPv6 address on a host without IPv6 is left out and named in
// *skipped; any other failure, or no listener at all, gives false and a
// message saying what to do.
bool OpenListeners(const std::vector<std::string>& addresses, std::uint16_t port,
                   std::vector<Listener>* listeners, std::vector<std::string>* skipped, std::string* problem);

// Accepts on the listeners, reads the request frames of all connections on
// the accepting thread and hands complete requests to a pool of workers.
class Server {
public:
    // The `pendingLimit` slots for connections sending their frame are
    // shared as AdmissionLimits::ForTotal says.
    Server(std::vector<Listener> listeners, ServeContext context, unsigned workers,
           std::size_t queueLimit = kQueueLimit, std::size_t pendingLimit = kPendingLimit);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Starts the workers, accepts and reads frames until `stopFd` becomes
    // readable; then closes the listeners and the connections that have not
    // begun their request, and returns.  Connections in the middle of their
    // frame are kept for drain().
    void acceptUntil(int stopFd);
    // Requests accepted but not finished: being read, queued or running.
    std::size_t inFlight() const;
    // After acceptUntil() has returned: finishes reading the frames begun
    // (each within its own deadline), then lets the workers finish the queued
    // and running requests, all within `limit`.  True when they did; false
    // when some are still running (the workers are then left to the
    // process's exit).
    bool drain(std::chrono::milliseconds limit);

private:
    struct Shared;
    void startWorkers();
    void enqueue(Request& request);
    void noteReading();
    // Takes what is waiting on the listener `index`.
    void acceptFrom(std::size_t index, Clock::time_point* acceptPausedUntil);
    void admit(PendingConnection& connection, std::size_t listener);

    std::vector<Listener> m_listeners;
    std::shared_ptr<Shared> m_shared;
    unsigned m_workerCount;
    std::vector<std::thread> m_workers;
    FrameReader m_reader;
    // Connections closed at the accept, one log per verdict.
    ThrottledLog m_dropLogs[5];
};

}  // namespace tqd
