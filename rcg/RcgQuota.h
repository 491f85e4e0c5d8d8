// The CPU quota of a cap and its inverse: a cap in percent of the whole
// machine becomes a CFS quota per period, and a quota read back becomes the
// percent it stands for.  Pure arithmetic.
#pragma once

#include <cstdint>

namespace TqRcgCtrllr {

// The CFS period every group is given, in microseconds.
constexpr std::uint64_t kCfsPeriodUs = 100000;

// percent × processors × period / 100, computed without wrapping: the
// product is formed in 128 bits and the result held at UINT64_MAX.  The
// processor count is taken as unsigned, as the tools report it.
std::uint64_t ComputeCpuQuota(unsigned int percent, int processors, std::uint64_t periodUs = kCfsPeriodUs);

// The inverse: quota / period / processors × 100, the share of the machine
// a quota gives; negative for no limit (a negative quota) or when it cannot
// be told (no period, no processors).
double QuotaPercent(std::int64_t quotaUs, std::uint64_t periodUs, long processors);

}  // namespace TqRcgCtrllr
