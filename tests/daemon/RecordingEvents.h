// Server events that keep what the server told them, for the tests of the
// server and its reader.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "daemon/TqdEvents.h"

namespace tqdtest {

class RecordingEvents : public tqd::ServerEvents {
public:
    struct Told {
        tqd::Refusal refusal;
        bool peerRefused = false;  // else a frame refused
        bool incomplete = false;
    };

    void peerRefused(int, const tqd::Refusal& refusal) override { keep(Told{refusal, true, false}); }
    void frameRefused(const tqd::Refusal& refusal, bool incomplete) override {
        keep(Told{refusal, false, incomplete});
    }
    std::vector<Told> told() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_told;
    }
    // The refusals told for `peer`.
    std::vector<Told> about(const std::string& peer) const {
        std::vector<Told> found;
        for (const Told& one : told()) {
            if (one.refusal.peer == peer) found.push_back(one);
        }
        return found;
    }

private:
    void keep(const Told& one) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_told.push_back(one);
    }
    mutable std::mutex m_mutex;
    std::vector<Told> m_told;
};

}  // namespace tqdtest
