// Metrics for Prometheus without a listener: tqd writes a text-format file
// for the node exporter's textfile collector every "[Session]
// dTQDMETRICSINTERVAL" seconds (15) into the folder "[Session]
// sTQDMETRICSDIR" (/var/lib/prometheus/node-exporter; empty: no file).  Per
// group the figures the kernel keeps (cap, CPU time, periods, throttling,
// processes); per daemon the requests it served by type and outcome, their
// durations, and the peers and frames it refused.  The file itself and the
// thread that writes it: TqdMetricsFile.h.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "daemon/TqdConfig.h"
#include "rcg/RcgFigures.h"

namespace tqd {

constexpr int kDefaultMetricsSeconds = 15;
constexpr const char kDefaultMetricsDir[] = "/var/lib/prometheus/node-exporter";
// The node exporter reads the files ending in ".prom" only: the file is
// written under a name without that ending and then renamed.
constexpr const char kMetricsFileName[] = "tqrcgmgr.prom";

// Upper bounds of the request-duration buckets, in seconds.
constexpr std::array<double, 12> kDurationBuckets = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                     0.1,   0.25,   0.5,   1,    2.5,   10};

// What tqd counted since it started.
struct DaemonCounts {
    // (request type, outcome) -> requests; outcome "success" or "failure".
    std::map<std::pair<std::string, std::string>, std::uint64_t> requests;
    std::array<std::uint64_t, kDurationBuckets.size()> durationBuckets{};  // not cumulative
    std::uint64_t durationCount = 0;
    double durationSum = 0;
    // reason -> peers refused (access denied); reason -> frames refused.
    std::map<std::string, std::uint64_t> peersRefused;
    std::map<std::string, std::uint64_t> framesRefused;
};

// The counts, shared by the workers (which add) and the metrics writer
// (which copies).
class RequestStats {
public:
    void served(const std::string& type, bool success, double seconds);
    void peerRefused(const std::string& reason);
    void frameRefused(const std::string& reason);
    DaemonCounts snapshot() const;

private:
    mutable std::mutex m_mutex;
    DaemonCounts m_counts;
};

// A label value in the text format: '\\', '"' and line breaks escaped.
std::string LabelValue(const std::string& text);

// The whole file: HELP and TYPE lines, then the samples, for the groups that
// are present (caps are shares of `processors`) and the daemon's counts.
std::string FormatMetrics(const std::vector<TqRcgCtrllr::GroupFigures>& groups, long processors,
                          const DaemonCounts& counts);

struct MetricsSettings {
    std::string folder;  // empty: no file
    std::chrono::seconds interval{kDefaultMetricsSeconds};
};
// Pure: the settings from the stored texts (`has*`: a value was found).  An
// interval that is not a whole number from 1 to 86400 is a problem.
bool MakeMetricsSettings(bool hasInterval, const std::string& interval, bool hasFolder,
                         const std::string& folder, MetricsSettings* settings, std::string* problem);
// From the settings read from the store.
bool MakeMetricsSettings(const StoredSettings& stored, MetricsSettings* settings, std::string* problem);

}  // namespace tqd
