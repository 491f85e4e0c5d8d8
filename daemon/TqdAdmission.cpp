#include "daemon/TqdAdmission.h"

#include <algorithm>

namespace tqd {

namespace {

const uid_t kUnknownOwner = static_cast<uid_t>(-1);

// More than half of `limit` is taken.
bool MoreThanHalf(std::size_t taken, std::size_t limit) { return taken * 2 > limit; }

}  // namespace

AdmissionLimits AdmissionLimits::forTotal(std::size_t total) {
    AdmissionLimits limits;
    limits.total = total;
    limits.rootReserve = total / 8;
    limits.perUid = std::max<std::size_t>(1, total / 16);
    limits.refusedTotal = std::max<std::size_t>(1, total / 16);
    limits.refusedPerUid = std::max<std::size_t>(1, total / 64);
    return limits;
}

AdmissionKey KeyOf(const PeerIdentity& peer) {
    AdmissionKey key;
    key.served = peer.served;
    key.uid = peer.known ? peer.uid : kUnknownOwner;
    key.root = peer.served && peer.known && peer.uid == 0;
    return key;
}

std::string OwnerText(const AdmissionKey& owner) {
    if (owner.uid == kUnknownOwner) return "an owner that cannot be found";
    return "uid " + std::to_string(owner.uid);
}

std::string RefusalKind(const AdmissionKey& owner, const std::string& reason) {
    return OwnerText(owner) + " " + reason;
}

Refusal RefusalOf(const std::string& peer, const AdmissionKey& owner, const std::string& why) {
    Refusal refusal;
    refusal.peer = peer;
    refusal.uidKnown = owner.uid != kUnknownOwner;
    refusal.uid = refusal.uidKnown ? owner.uid : 0;
    refusal.why = why;
    return refusal;
}

Admission::Verdict Admission::admit(const AdmissionKey& key) {
    if (m_total >= m_limits.total) return AllTaken;
    const std::size_t ofUid = pendingOf(key);
    if (!key.root) {
        if (m_total + m_limits.rootReserve >= m_limits.total) return KeptForRoot;
        if (key.served && ofUid >= m_limits.perUid) return UidShareTaken;
        if (!key.served && (m_refused >= m_limits.refusedTotal || ofUid >= m_limits.refusedPerUid)) {
            return ofUid >= m_limits.refusedPerUid ? UidShareTaken : RefusedTaken;
        }
    }
    ++m_total;
    if (!key.served) ++m_refused;
    ++m_perUid[key.uid];
    return Admitted;
}

void Admission::release(const AdmissionKey& key) {
    if (m_total > 0) --m_total;
    if (!key.served && m_refused > 0) --m_refused;
    const auto found = m_perUid.find(key.uid);
    if (found == m_perUid.end()) return;
    if (--found->second == 0) m_perUid.erase(found);
}

bool Admission::scarce(const AdmissionKey& key) const {
    if (MoreThanHalf(m_total, m_limits.total)) return true;
    if (key.root) return false;
    const std::size_t ofUid = pendingOf(key);
    if (key.served) return MoreThanHalf(ofUid, m_limits.perUid);
    return MoreThanHalf(m_refused, m_limits.refusedTotal) || MoreThanHalf(ofUid, m_limits.refusedPerUid);
}

std::size_t Admission::pendingOf(const AdmissionKey& key) const {
    const auto found = m_perUid.find(key.uid);
    return found == m_perUid.end() ? 0 : found->second;
}

}  // namespace tqd
