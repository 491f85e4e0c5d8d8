#include "TqrcgBenchHistory.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "BenchSupport.h"
#include "common/TqRcgDefs.h"
#include "host/TQPlatformInfo.h"
#include "include/tqrcgmgr/tqrcgmgr.h"

namespace tqbench {

namespace {

// One daemon and its store, with the times of its rounds.
struct Side {
    const char* label;
    std::string store;
    double firstMs = 0;          // the uncounted first round
    std::vector<double> roundMs; // create + delete
};

void UseStore(const Side& side) { setenv("TQ_CONFIG", side.store.c_str(), 1); }

std::size_t ListBytes(const Side& side) {
    UseStore(side);
    TQPlatformInfo store;
    std::string value;
    return store.getString("Base", k_TQRCGMGR_Groups_RegKey, value) ? value.size() : 0;
}

// Deletes the bench's group through both daemons, whatever way it ends.
class Cleanup {
public:
    Cleanup(std::vector<Side>& sides, std::string group) : m_sides(sides), m_group(std::move(group)) {}
    ~Cleanup() {
        for (const Side& side : m_sides) {
            UseStore(side);
            deleteRcgGroup(m_group);
        }
    }
    Cleanup(const Cleanup&) = delete;
    Cleanup& operator=(const Cleanup&) = delete;

private:
    std::vector<Side>& m_sides;
    std::string m_group;
};

// One create and one delete against the side's daemon; false after a failure.
// The first creation on the long store compacts its list, which under
// emulation can outlast the client's wait for a reply: that uncounted round
// creates once more (a creation of a group that exists succeeds).
bool Round(Side& side, const std::string& group, int round) {
    UseStore(side);
    const auto begin = Clock::now();
    std::vector<double> ignored;
    if (round == 0 && createRcgGroup(group).IsError())
        fprintf(stderr, "tqrcg_bench: the first creation (%s) failed; it is made once more\n", side.label);
    if (!TimeClientCall(std::string("create (") + side.label + ")", [&] { return createRcgGroup(group); }, 1,
                        &ignored) ||
        !TimeClientCall(std::string("delete (") + side.label + ")", [&] { return deleteRcgGroup(group); }, 1,
                        &ignored)) {
        return false;
    }
    const double ms = Milliseconds(begin);
    if (round == 0) side.firstMs = ms;
    else side.roundMs.push_back(ms);
    return true;
}

}  // namespace

int MeasureHistory(const std::string& historyStore, const std::string& emptyStore, double seconds) {
    std::vector<Side> sides = {{"long list", historyStore, 0, {}}, {"empty list", emptyStore, 0, {}}};
    for (const Side& side : sides) {
        UseStore(side);
        if (!WaitForDaemon(10)) {
            fprintf(stderr, "tqrcg_bench: tqd does not answer on the port of the store %s\n", side.store.c_str());
            return 1;
        }
    }
    const std::size_t before = ListBytes(sides[0]);
    const std::string group = "tqbench_" + std::to_string(getpid());
    Cleanup cleanup(sides, group);
    const auto start = Clock::now();
    int rounds = 0;
    for (int round = 0; !StopRequested(); ++round) {
        if (round > 2 && std::chrono::duration<double>(Clock::now() - start).count() >= seconds) break;
        for (int turn = 0; turn < 2; ++turn) {
            if (!Round(sides[(turn + round) % 2], group, round)) return 1;
        }
        if (round > 0) ++rounds;
    }
    if (StopRequested()) {
        fprintf(stderr, "tqrcg_bench: stopped\n");
        return 1;
    }
    const double history = Median(sides[0].roundMs);
    const double empty = Median(sides[1].roundMs);
    const double ratio = empty > 0 ? history / empty : 0;
    printf("tqrcg_bench --history: %d rounds in %.0f s, group %s\n", rounds,
           std::chrono::duration<double>(Clock::now() - start).count(), group.c_str());
    printf("group list of the long store: %zu bytes before the run, %zu after\n", before, ListBytes(sides[0]));
    printf("%-12s %16s %20s\n", "store", "first round ms", "create+delete ms");
    for (const Side& side : sides) printf("%-12s %16.2f %20.2f\n", side.label, side.firstMs, Median(side.roundMs));
    printf("ratio long/empty %.3f; target <= 1.20: %s\n", ratio, ratio <= 1.20 ? "met" : "NOT met");
    return 0;
}

}  // namespace tqbench
