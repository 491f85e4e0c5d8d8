#include "RcgQuota.h"

namespace TqRcgCtrllr {

std::uint64_t ComputeCpuQuota(unsigned int percent, int processors, std::uint64_t periodUs) {
    const unsigned __int128 product = static_cast<unsigned __int128>(percent) *
                                      static_cast<unsigned __int128>(static_cast<unsigned int>(processors)) *
                                      static_cast<unsigned __int128>(periodUs);
    const unsigned __int128 quota = product / 100;
    if (quota > static_cast<unsigned __int128>(UINT64_MAX)) return UINT64_MAX;
    return static_cast<std::uint64_t>(quota);
}

double QuotaPercent(std::int64_t quotaUs, std::uint64_t periodUs, long processors) {
    if (quotaUs < 0 || periodUs == 0 || processors <= 0) return -1.0;
    return 100.0 * double(quotaUs) / double(periodUs) / double(processors);
}

}  // namespace TqRcgCtrllr
