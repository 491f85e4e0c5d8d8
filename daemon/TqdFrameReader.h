// The reading of request frames in tqd: the connections still sending their
// frame, read without blocking by one thread, the check of each frame's
// header, and the deadlines and slots that keep slow or silent clients from
// holding tqd.
#pragma once

#include <poll.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "daemon/TqdAdmission.h"
#include "daemon/TqdEvents.h"
#include "daemon/TqdLogLines.h"
#include "daemon/TqdRequestQueue.h"
#include "host/UniqueFd.h"

namespace tqd {

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
    // For Rejected: which check failed ("length" or "code").
    const char* kind = nullptr;
};

// Takes what has arrived on the connection without waiting, never more than
// the rest of its frame, and checks the header (FrameProblem) as soon as its
// first kTqRcgFrameInfoSize bytes are in, so that a wrong frame goes before
// the rest of it is read.
ReadResult ReadAvailable(PendingConnection* connection);

// Why a frame does not go to the handler, judged on its first
// kTqRcgFrameInfoSize bytes (the frame length and the request code); empty
// when it does.  *kind (when given) becomes "length" or "code".
std::string FrameProblem(const unsigned char* frame, const char** kind = nullptr);

// The connections still sending their frame, read without blocking by one
// thread that waits on all of them at once: a slow or silent client holds
// no worker.  Each has its whole frame to send within `frameSeconds` of its
// accept; each owner holds no more slots than Admission grants it, and a
// connection for which slots ran low (at its accept or while it waits) is
// closed when it has sent nothing within `limits.firstByteSeconds`.  The
// connections it closes are told to the events, which give one line per
// owner and reason every few seconds.
class FrameReader {
public:
    typedef std::function<void(Request&)> Take;

    FrameReader(int frameSeconds, const AdmissionLimits& limits)
        : m_frameSeconds(frameSeconds), m_admission(limits) {}
    // `limit` slots, shared as AdmissionLimits::forTotal says.
    FrameReader(int frameSeconds, std::size_t limit)
        : FrameReader(frameSeconds, AdmissionLimits::forTotal(limit)) {}

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
    // Tells the events (when there are any) about a connection closed for
    // its frame, for the reason `reason` ("empty", "ended", "slow", ...).
    void refused(const PendingConnection& connection, Clock::time_point now, const char* reason, bool incomplete,
                 const std::string& why);
    // What step() does with one connection: true when it stays.
    bool stepOne(PendingConnection& connection, const pollfd* entry, Clock::time_point now,
                 const Admission& atStart, const Take& take);
    // Reads what has arrived: a complete frame goes to `take`; true when
    // the connection stays.
    bool takeArrived(PendingConnection& connection, Clock::time_point now, const Take& take);
    // Whether the connection is still within its deadlines at `now`; a
    // connection past one is closed with a log line.
    bool withinDeadlines(PendingConnection& connection, Clock::time_point now, const Admission& atStart);

    int m_frameSeconds;
    Admission m_admission;
    KeyedThrottle m_refusalLines;
    ServerEvents* m_events = nullptr;
    std::vector<PendingConnection> m_connections;  // in the order of their accept
};

}  // namespace tqd
