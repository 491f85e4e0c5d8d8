// Admission of connections before any work is done for them: who may hold
// how many of the slots for connections still sending their request frame.
//
// Each connection is counted against its owner, identified at the accept.
// One uid never holds more than a small share of the slots; the peers tqd
// refuses (any uid not served, owners that cannot be found, remote peers)
// share a small budget of their own, in which they are still read and sent
// the denial; and the last slots are kept for root.  When slots run low, a
// connection that has not sent its first byte within a short time is closed
// (as OpenSSH does with MaxStartups), so idle connections give way to those
// that talk.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <map>

#include <string>

#include "daemon/TqdEvents.h"
#include "daemon/TqdPeer.h"

namespace tqd {

struct AdmissionLimits {
    // All connections sending their frame.
    std::size_t total = 1024;
    // Slots only root may take: the others together leave these free.
    std::size_t rootReserve = 128;
    // Any one served uid other than root.
    std::size_t perUid = 64;
    // All refused peers together, and any one refused uid (owners that
    // cannot be found count as one uid).
    std::size_t refusedTotal = 64;
    std::size_t refusedPerUid = 16;
    // A connection that has sent nothing this long after its accept is
    // closed while slots run low.
    int firstByteSeconds = 2;

    // The shares of `total` slots: an eighth kept for root, a sixteenth for
    // each other served uid and for the refused peers together, a
    // sixty-fourth for each refused uid (at least one slot each).
    static AdmissionLimits forTotal(std::size_t total);
};

// The slots a connection counts against, as PeerIdentity tells them.  A
// connection whose owner was never asked for (no peer check) is root's.
struct AdmissionKey {
    bool served = true;
    bool root = true;
    uid_t uid = 0;  // (uid_t)-1 for owners that cannot be found
};
AdmissionKey KeyOf(const PeerIdentity& peer);

// "uid 1000" or "an owner that cannot be found", for the log.
std::string OwnerText(const AdmissionKey& owner);
// The kind of a refusal for the throttling of its lines: its owner and
// `reason` ("uid 1000 silent").
std::string RefusalKind(const AdmissionKey& owner, const std::string& reason);
// The refusal of the connection from `peer` owned by `owner`, for `why`.
Refusal RefusalOf(const std::string& peer, const AdmissionKey& owner, const std::string& why);

// Counts the connections admitted and not yet released.  Pure bookkeeping:
// the caller releases each admitted connection exactly once.
class Admission {
public:
    explicit Admission(const AdmissionLimits& limits = AdmissionLimits()) : m_limits(limits) {}

    enum Verdict {
        Admitted,
        AllTaken,       // every slot is taken
        KeptForRoot,    // the slots left are root's
        UidShareTaken,  // the uid holds its share
        RefusedTaken    // the refused peers hold their budget
    };
    // Counts the connection when its owner has room; any other verdict
    // counts nothing, and the connection is closed at once.
    Verdict admit(const AdmissionKey& key);
    void release(const AdmissionKey& key);

    // Whether slots run low for a connection of `key`: more than half of the
    // slots it counts against (all slots, its uid's share, the refused
    // budget) are taken.  Its silence is then cut short.
    bool scarce(const AdmissionKey& key) const;

    std::size_t pending() const { return m_total; }
    std::size_t pendingOf(const AdmissionKey& key) const;
    const AdmissionLimits& limits() const { return m_limits; }

private:
    AdmissionLimits m_limits;
    std::size_t m_total = 0;
    std::size_t m_refused = 0;
    // Per uid, served and refused apart (a uid is one or the other).
    std::map<uid_t, std::size_t> m_perUid;
};

}  // namespace tqd
