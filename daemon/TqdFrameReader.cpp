#include "daemon/TqdFrameReader.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>

#include "daemon/TqdConfig.h"
#include "host/EvDebug.h"
#include "service/TqRcgProtocol.h"

namespace tqd {

ReadResult ReadAvailable(PendingConnection* connection) {
    std::vector<unsigned char>& frame = connection->frame;
    if (frame.size() != kTqRcgFrameSize) frame.resize(kTqRcgFrameSize, 0);
    std::size_t& received = connection->received;
    while (received < frame.size()) {
        const ssize_t count =
            recv(connection->fd.get(), frame.data() + received, frame.size() - received, MSG_DONTWAIT);
        if (count > 0) {
            const bool headerWasIn = received >= kTqRcgFrameInfoSize;
            received += static_cast<std::size_t>(count);
            if (!headerWasIn && received >= kTqRcgFrameInfoSize) {
                std::string problem = FrameProblem(frame.data());
                if (!problem.empty()) return ReadResult{ReadState::Rejected, std::move(problem)};
            }
            continue;
        }
        if (count == 0) return ReadResult{ReadState::Ended, std::string()};
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return ReadResult{ReadState::Waiting, std::string()};
        return ReadResult{ReadState::Failed, ErrnoText(errno)};
    }
    return ReadResult{ReadState::Complete, std::string()};
}

std::string FrameProblem(const unsigned char* frame) {
    const TqRcgFrameInfo header = ReadRcgFrameHeader(frame);
    char text[128];
    if (header.frameLength != kTqRcgFrameSize) {
        snprintf(text, sizeof(text), "frame length %u is not %zu", header.frameLength, kTqRcgFrameSize);
        return text;
    }
    if (header.requestCode != k_RcgMgrRequestCode) {
        snprintf(text, sizeof(text), "request code 0x%X is not 0x%X", header.requestCode, k_RcgMgrRequestCode);
        return text;
    }
    return std::string();
}

bool FrameReader::add(PendingConnection& connection, Admission::Verdict* verdict) {
    const Admission::Verdict admitted = m_admission.admit(connection.owner);
    if (verdict) *verdict = admitted;
    if (admitted != Admission::Admitted) return false;
    connection.frame.assign(kTqRcgFrameSize, 0);
    connection.received = 0;
    connection.hurried = m_admission.scarce(connection.owner);
    m_connections.push_back(std::move(connection));
    return true;
}

void FrameReader::addPollEntries(std::vector<pollfd>* entries) const {
    for (const PendingConnection& connection : m_connections) {
        entries->push_back(pollfd{connection.fd.get(), POLLIN, 0});
    }
}

Clock::time_point FrameReader::frameDeadline(const PendingConnection& connection) const {
    return connection.acceptedAt + std::chrono::seconds(m_frameSeconds);
}

Clock::time_point FrameReader::silenceDeadline(const PendingConnection& connection,
                                               const Admission& admission) const {
    if (connection.received > 0 || !(connection.hurried || admission.scarce(connection.owner))) {
        return Clock::time_point::max();
    }
    return connection.acceptedAt + std::chrono::seconds(m_admission.limits().firstByteSeconds);
}

int FrameReader::millisecondsToDeadline(Clock::time_point now) const {
    if (m_connections.empty()) return -1;
    Clock::time_point earliest = Clock::time_point::max();
    for (const PendingConnection& connection : m_connections) {
        earliest = std::min({earliest, frameDeadline(connection), silenceDeadline(connection, m_admission)});
    }
    const Clock::duration left = earliest - now;
    if (left <= Clock::duration::zero()) return 0;
    // Rounded up: a wait never ends just before the deadline.
    const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(
        left + std::chrono::milliseconds(1) - Clock::duration(1));
    return milliseconds.count() > INT_MAX ? INT_MAX : static_cast<int>(milliseconds.count());
}

bool FrameReader::stepOne(PendingConnection& connection, const pollfd* entry, Clock::time_point now,
                          const Admission& atStart, const Take& take) {
    // Read before looking at the clock: a frame that is all there is served
    // even when its deadline has just passed.
    if ((entry == nullptr || entry->revents != 0) && !takeArrived(connection, take)) return false;
    return withinDeadlines(connection, now, atStart);
}

bool FrameReader::takeArrived(PendingConnection& connection, const Take& take) {
    EvDebug log(nullptr);
    const char* peer = connection.peer.c_str();
    const ReadResult read = ReadAvailable(&connection);
    switch (read.state) {
        case ReadState::Waiting:
            return true;
        case ReadState::Complete: {
            Request request{std::move(connection.fd), std::move(connection.peer), std::move(connection.frame),
                            std::move(connection.denial)};
            take(request);
            return false;
        }
        case ReadState::Ended:
            log.Error(kLogTag,
                      "closing the connection from %s without a reply: the request ended after %zu "
                      "of %zu bytes",
                      peer, connection.received, kTqRcgFrameSize);
            refused(connection, true, "ended after " + std::to_string(connection.received) + " bytes");
            return false;
        case ReadState::Failed:
            log.Error(kLogTag, "closing the connection from %s without a reply: receive failed: %s", peer,
                      read.problem.c_str());
            refused(connection, true, "receive failed: " + read.problem);
            return false;
        case ReadState::Rejected:
            log.Error(kLogTag, "closing the connection from %s without a reply: %s", peer, read.problem.c_str());
            refused(connection, false, read.problem);
            return false;
    }
    return true;
}

bool FrameReader::withinDeadlines(PendingConnection& connection, Clock::time_point now,
                                  const Admission& atStart) {
    EvDebug log(nullptr);
    const char* peer = connection.peer.c_str();
    if (now >= frameDeadline(connection)) {
        log.Error(kLogTag,
                  "closing the connection from %s without a reply: no complete request within %d seconds "
                  "(%zu of %zu bytes)",
                  peer, m_frameSeconds, connection.received, kTqRcgFrameSize);
        refused(connection, true, "no complete request within " + std::to_string(m_frameSeconds) + " seconds");
        return false;
    }
    // Once slots run low for it, it stays hurried: cutting a few silent
    // connections must not let the others wait out the whole frame time.
    if (atStart.scarce(connection.owner)) connection.hurried = true;
    if (now < silenceDeadline(connection, atStart)) return true;
    std::size_t unlogged = 0;
    const bool due = m_silenceLog.due(now, &unlogged);
    if (due) {
        log.Error(kLogTag,
                  "closing the connection from %s without a reply: nothing sent within %d seconds while "
                  "connections sending their request are many%s",
                  peer, m_admission.limits().firstByteSeconds, MoreSince(unlogged).c_str());
    }
    // Counted always; an audit line only with the log's line.
    if (m_events) m_events->frameRefused(connection.peer, true, "nothing sent while connections are many", !due);
    return false;
}

void FrameReader::refused(const PendingConnection& connection, bool incomplete, const std::string& why) {
    if (m_events) m_events->frameRefused(connection.peer, incomplete, why, false);
}

void FrameReader::step(const pollfd* entries, Clock::time_point now, const Take& take) {
    // Whether slots run low is judged once for the whole step, so that the
    // connections that go in it do not change the verdict for the others.
    const Admission atStart = m_admission;
    std::vector<PendingConnection> waiting;
    waiting.reserve(m_connections.size());
    for (std::size_t index = 0; index < m_connections.size(); ++index) {
        PendingConnection& connection = m_connections[index];
        if (stepOne(connection, entries == nullptr ? nullptr : &entries[index], now, atStart, take)) {
            waiting.push_back(std::move(connection));
        } else {
            m_admission.release(connection.owner);
        }
    }
    // The connections not kept in `waiting` close as the old list goes.
    m_connections.swap(waiting);
}

void FrameReader::closeIdle() {
    EvDebug log(nullptr);
    std::vector<PendingConnection> begun;
    for (PendingConnection& connection : m_connections) {
        if (connection.received > 0) {
            begun.push_back(std::move(connection));
        } else {
            log.Info(kLogTag, "closing the connection from %s: tqd is stopping and no request had begun",
                     connection.peer.c_str());
            m_admission.release(connection.owner);
        }
    }
    m_connections.swap(begun);
}

void FrameReader::closeAll(const char* why) {
    EvDebug log(nullptr);
    for (const PendingConnection& connection : m_connections) {
        log.Error(kLogTag, "closing the connection from %s without a reply: %s (%zu of %zu bytes)",
                  connection.peer.c_str(), why, connection.received, kTqRcgFrameSize);
        m_admission.release(connection.owner);
    }
    m_connections.clear();
}

}  // namespace tqd
