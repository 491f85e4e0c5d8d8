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
                const char* kind = nullptr;
                std::string problem = FrameProblem(frame.data(), &kind);
                if (!problem.empty()) return ReadResult{ReadState::Rejected, std::move(problem), kind};
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

std::string FrameProblem(const unsigned char* frame, const char** kind) {
    const TqRcgFrameInfo header = ReadRcgFrameHeader(frame);
    char text[128];
    if (header.frameLength != kTqRcgFrameSize) {
        snprintf(text, sizeof(text), "frame length %u is not %zu", header.frameLength, kTqRcgFrameSize);
        if (kind) *kind = "length";
        return text;
    }
    if (header.requestCode != k_RcgMgrRequestCode) {
        snprintf(text, sizeof(text), "request code 0x%X is not 0x%X", header.requestCode, k_RcgMgrRequestCode);
        if (kind) *kind = "code";
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
    if ((entry == nullptr || entry->revents != 0) && !takeArrived(connection, now, take)) return false;
    return withinDeadlines(connection, now, atStart);
}

namespace {

std::string BytesText(std::size_t received) {
    return " (" + std::to_string(received) + " of " + std::to_string(kTqRcgFrameSize) + " bytes)";
}

}  // namespace

bool FrameReader::takeArrived(PendingConnection& connection, Clock::time_point now, const Take& take) {
    const ReadResult read = ReadAvailable(&connection);
    switch (read.state) {
        case ReadState::Waiting:
            return true;
        case ReadState::Complete: {
            Request request{std::move(connection.fd), std::move(connection.peer), std::move(connection.frame),
                            std::move(connection.denial), connection.owner};
            take(request);
            return false;
        }
        case ReadState::Ended:
            // A connection closed before its first byte (a port probe, a
            // health check) is a reason of its own.
            refused(connection, now, connection.received == 0 ? "empty" : "ended", true,
                    "the request ended after " + std::to_string(connection.received) + " of " +
                        std::to_string(kTqRcgFrameSize) + " bytes");
            return false;
        case ReadState::Failed:
            refused(connection, now, "failed", true, "receive failed: " + read.problem + BytesText(connection.received));
            return false;
        case ReadState::Rejected:
            refused(connection, now, read.kind, false, read.problem);
            return false;
    }
    return true;
}

bool FrameReader::withinDeadlines(PendingConnection& connection, Clock::time_point now,
                                  const Admission& atStart) {
    if (now >= frameDeadline(connection)) {
        refused(connection, now, "slow", true,
                "no complete request within " + std::to_string(m_frameSeconds) + " seconds" +
                    BytesText(connection.received));
        return false;
    }
    // Once slots run low for it, it stays hurried: cutting a few silent
    // connections must not let the others wait out the whole frame time.
    if (atStart.scarce(connection.owner)) connection.hurried = true;
    if (now < silenceDeadline(connection, atStart)) return true;
    refused(connection, now, "silent", true,
            "nothing sent within " + std::to_string(m_admission.limits().firstByteSeconds) +
                " seconds while connections sending their request are many");
    return false;
}

void FrameReader::refused(const PendingConnection& connection, Clock::time_point now, const char* reason,
                          bool incomplete, const std::string& why) {
    Refusal refusal = RefusalOf(connection.peer, connection.owner, why);
    refusal.logged = m_refusalLines.due(RefusalKind(connection.owner, reason), now, &refusal.unlogged);
    if (m_events) m_events->frameRefused(refusal, incomplete);
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
