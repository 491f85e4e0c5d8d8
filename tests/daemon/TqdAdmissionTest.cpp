// The shares of the slots for connections still sending their frame: root's
// reserve, each uid's share, the refused peers' own budget, and when slots
// run low.
#include <gtest/gtest.h>

#include "daemon/TqdAdmission.h"
#include "daemon/TqdServer.h"

namespace {

using namespace tqd;

AdmissionKey Root() { return AdmissionKey(); }

AdmissionKey Served(uid_t uid) {
    AdmissionKey key;
    key.root = false;
    key.uid = uid;
    return key;
}

AdmissionKey Refused(uid_t uid) {
    AdmissionKey key;
    key.served = key.root = false;
    key.uid = uid;
    return key;
}

AdmissionLimits Small() {
    AdmissionLimits limits;
    limits.total = 16;
    limits.rootReserve = 4;
    limits.perUid = 8;
    limits.refusedTotal = 4;
    limits.refusedPerUid = 2;
    return limits;
}

// Admits `count` connections of `key`; the verdict of the last.
Admission::Verdict AdmitMany(Admission& admission, const AdmissionKey& key, int count) {
    Admission::Verdict verdict = Admission::Admitted;
    for (int index = 0; index < count && verdict == Admission::Admitted; ++index) {
        verdict = admission.admit(key);
    }
    return verdict;
}

TEST(TqdAdmission, KeysFollowThePeersIdentity) {
    PeerIdentity peer;
    peer.served = peer.known = true;
    EXPECT_TRUE(KeyOf(peer).root);
    peer.uid = 1000;
    EXPECT_FALSE(KeyOf(peer).root);
    EXPECT_TRUE(KeyOf(peer).served);
    peer.served = false;
    EXPECT_EQ(KeyOf(peer).uid, 1000u);
    EXPECT_FALSE(KeyOf(peer).served);
    // Owners that cannot be found are one refused "uid", never root.
    PeerIdentity unknown;
    EXPECT_FALSE(KeyOf(unknown).served);
    EXPECT_FALSE(KeyOf(unknown).root);
    EXPECT_EQ(KeyOf(unknown).uid, static_cast<uid_t>(-1));
}

TEST(TqdAdmission, EachUidHoldsItsShareAndTheLastSlotsAreRoots) {
    Admission admission(Small());
    EXPECT_EQ(AdmitMany(admission, Served(1000), 8), Admission::Admitted);
    EXPECT_EQ(admission.admit(Served(1000)), Admission::UidShareTaken);
    EXPECT_EQ(AdmitMany(admission, Served(1001), 4), Admission::Admitted);
    EXPECT_EQ(admission.admit(Served(1002)), Admission::KeptForRoot);
    EXPECT_EQ(AdmitMany(admission, Root(), 4), Admission::Admitted);
    EXPECT_EQ(admission.admit(Root()), Admission::AllTaken);
    EXPECT_EQ(admission.pending(), 16u);
    EXPECT_EQ(admission.pendingOf(Served(1000)), 8u);
    // A slot given back is free again.
    admission.release(Served(1001));
    EXPECT_EQ(admission.admit(Root()), Admission::Admitted);
}

TEST(TqdAdmission, RefusedPeersShareABudgetOfTheirOwn) {
    Admission admission(Small());
    EXPECT_EQ(AdmitMany(admission, Refused(65534), 2), Admission::Admitted);
    EXPECT_EQ(admission.admit(Refused(65534)), Admission::UidShareTaken);
    EXPECT_EQ(AdmitMany(admission, Refused(static_cast<uid_t>(-1)), 2), Admission::Admitted);
    EXPECT_EQ(admission.admit(Refused(4242)), Admission::RefusedTaken);
    // The served keep every slot but the refused ones.
    EXPECT_EQ(AdmitMany(admission, Served(1000), 8), Admission::Admitted);
    EXPECT_EQ(AdmitMany(admission, Root(), 4), Admission::Admitted);
    EXPECT_EQ(admission.pending(), 16u);
    admission.release(Refused(65534));
    EXPECT_EQ(admission.admit(Refused(4242)), Admission::KeptForRoot);
}

TEST(TqdAdmission, SlotsRunLowPastHalfOfWhatAConnectionCountsAgainst) {
    Admission admission(Small());
    AdmitMany(admission, Refused(65534), 1);
    EXPECT_FALSE(admission.scarce(Refused(65534)));
    AdmitMany(admission, Refused(65534), 1);
    EXPECT_TRUE(admission.scarce(Refused(65534)));  // 2 of its 2
    EXPECT_FALSE(admission.scarce(Refused(4242)));  // 2 of the 4 refused
    AdmitMany(admission, Served(1000), 4);
    EXPECT_FALSE(admission.scarce(Served(1000)));
    AdmitMany(admission, Served(1000), 1);
    EXPECT_TRUE(admission.scarce(Served(1000)));  // 5 of its 8
    EXPECT_FALSE(admission.scarce(Root()));       // 7 of 16
    AdmitMany(admission, Root(), 2);
    EXPECT_TRUE(admission.scarce(Root()));  // 9 of 16
}

TEST(TqdAdmission, SharesOfTheDaemonsSlots) {
    const AdmissionLimits limits = AdmissionLimits::forTotal(1024);
    EXPECT_EQ(limits.total, 1024u);
    EXPECT_EQ(limits.rootReserve, 128u);
    EXPECT_EQ(limits.perUid, 64u);
    EXPECT_EQ(limits.refusedTotal, 64u);
    EXPECT_EQ(limits.refusedPerUid, 16u);
    EXPECT_EQ(limits.firstByteSeconds, 2);
    const AdmissionLimits tiny = AdmissionLimits::forTotal(2);
    EXPECT_EQ(tiny.rootReserve, 0u);
    EXPECT_EQ(tiny.perUid, 1u);
    EXPECT_EQ(tiny.refusedPerUid, 1u);
}

// Connections closed in numbers leave a line every 10 seconds at most.
TEST(TqdAdmission, ClosingsAreLoggedAtMostEveryTenSecondsWithACount) {
    ThrottledLog log;
    const Clock::time_point start = Clock::now();
    std::size_t unlogged = 99;
    EXPECT_TRUE(log.due(start, &unlogged));
    EXPECT_EQ(unlogged, 0u);
    EXPECT_FALSE(log.due(start + std::chrono::seconds(1), &unlogged));
    EXPECT_FALSE(log.due(start + std::chrono::seconds(9), &unlogged));
    EXPECT_TRUE(log.due(start + std::chrono::seconds(10), &unlogged));
    EXPECT_EQ(unlogged, 2u);
    EXPECT_TRUE(log.due(start + std::chrono::seconds(25), &unlogged));
    EXPECT_EQ(unlogged, 0u);
}

}  // namespace
