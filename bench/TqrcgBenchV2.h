// tqrcg_bench --v2: on a cgroup v2 host (a cgroup2 mount whose root lists
// the cpu controller, no cgroup v1 hierarchy with cpu), for each request type
// (create, cap, assign, remove, delete) the median end-to-end time of the
// client function beside the median of a request that only travels: a frame
// of an unsupported message type, which tqd answers without touching any
// group (connect, send the frame, read the reply).  Both are measured in
// turns in the same run; the target is a ratio of at most 2.  Beside them,
// for comparison, the request's filesystem step alone (mkdir, a write of
// cpu.max or cgroup.procs, rmdir) done by the bench on a group of its own
// (tqbench_<pid>_fs), in rounds of their own.
//
// The store named by TQ_CONFIG must point the client functions at the tqd
// to measure.  The bench owns the group tqbench_<pid> under the base
// ([Base] sTQRCGMGRCGROUP2BASE, default tqrcg) and one child process of its
// own; it removes its groups, ends the child, and removes the dummy group and
// the base when they were not there before, on every path.
#pragma once

namespace tqbench {

// Measures for about `seconds` (at least two counted rounds); 0 when every
// request succeeded.
int MeasureV2(double seconds);

}  // namespace tqbench
