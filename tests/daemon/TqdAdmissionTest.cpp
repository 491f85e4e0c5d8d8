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

// Connections closed in numbers leave a line every 10 seconds at most, for
// each kind on its own.
TEST(TqdAdmission, ClosingsAreLoggedAtMostEveryTenSecondsWithACountPerKind) {
    KeyedThrottle log;
    const Clock::time_point start = Clock::now();
    const auto at = [start](int seconds) { return start + std::chrono::seconds(seconds); };
    const struct {
        const char* kind;
        int second;
        bool due;
        std::size_t unlogged;  // when due
    } steps[] = {
        {"uid 65534 silent", 0, true, 0},  {"uid 65534 silent", 1, false, 0}, {"uid 65534 header", 1, true, 0},
        {"uid 1000 silent", 2, true, 0},   {"uid 65534 silent", 9, false, 0}, {"uid 65534 silent", 10, true, 2},
        {"uid 65534 header", 10, false, 0}, {"uid 65534 silent", 25, true, 0}, {"uid 65534 header", 25, true, 1},
    };
    for (const auto& step : steps) {
        std::size_t unlogged = 99;
        EXPECT_EQ(step.due, log.due(step.kind, at(step.second), &unlogged)) << step.kind << " at " << step.second;
        if (step.due) {
            EXPECT_EQ(step.unlogged, unlogged) << step.kind << " at " << step.second;
        }
    }
}

// However many kinds come, the kinds held stay bounded: quiet ones are
// forgotten, and while all are busy the new ones share one line.
TEST(TqdAdmission, ThrottledKindsStayFew) {
    KeyedThrottle log(std::chrono::seconds(10), 4);
    const Clock::time_point start = Clock::now();
    std::size_t unlogged = 0;
    for (int uid = 0; uid < 4; ++uid) EXPECT_TRUE(log.due("uid " + std::to_string(uid), start, &unlogged));
    EXPECT_TRUE(log.due("uid 100", start, &unlogged)) << "the first of the shared kind";
    EXPECT_FALSE(log.due("uid 101", start, &unlogged)) << "shares the line of uid 100";
    EXPECT_LE(log.kinds(), 5u);
    // Later the busy kinds have gone quiet: a new kind has a line of its own.
    EXPECT_TRUE(log.due("uid 102", start + std::chrono::seconds(11), &unlogged));
    EXPECT_LE(log.kinds(), 5u);
}

}  // namespace
