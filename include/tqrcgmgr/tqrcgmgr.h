// tqrcgmgr public interface: the client functions of libtqrcgmgr.so.
//
// Each request function sends one 368-byte request frame to the daemon tqd
// on this host (TCP, port "Session"/"nTQDPORT" of the configuration store,
// default 8400) and returns a success exactly when tqd answered "Success";
// otherwise a Win32 error 774 whose message is tqd's text, or the error of
// the connection.  See libtqrcgmgr(3).
//
//   #include <tqrcgmgr/tqrcgmgr.h>
//   c++ -std=c++17 prog.cpp $(pkg-config --cflags --libs tqrcgmgr)
#pragma once

#include <list>
#include <string>

#include "CQiError.h"

#ifndef TQRCGMGR_API
#define TQRCGMGR_API __attribute__((visibility("default")))
#endif

extern "C" {

// A name longer than 255 bytes is refused by every function below with the
// invalid-name error (Win32 123), and nothing is sent.

// Creates the resource group `name` (a group that exists already is kept).
TQRCGMGR_API CQiError createRcgGroup(const std::string& name);
// Deletes the resource group `name`; it must hold no processes.
TQRCGMGR_API CQiError deleteRcgGroup(const std::string& name);
// Caps the CPU use of `name` at `cpuShare` percent of the whole machine.
TQRCGMGR_API CQiError setRcgCPUShare(const std::string& name, int cpuShare);
// Moves the processes `pids` into `name`.  Lists of more than 16 ids go as
// several requests of at most 16 ids, in list order; the first failure ends
// the call and is returned.
TQRCGMGR_API CQiError assignPidsTo(const std::string& name, const std::list<unsigned int>& pids);
// Moves the processes `pids` out of `name`, into the group tqrcgmgrdummy;
// long lists go as for assignPidsTo.
TQRCGMGR_API CQiError removePidsFrom(const std::string& name, const std::list<unsigned int>& pids);
// Sets properties of `name` besides its cap, all of them or none, each
// "PROPERTY=VALUE" with PROPERTY one of
//   cpu.weight       1 to 10000 (100 is the default of every group)
//   cpu.max.burst    a share of the whole machine in percent, at most the cap
//   cpuset.cpus      online processors, such as "0-3,6"
//   memory.max       bytes with K, M, G or T (powers of 1024), a percentage of
//   memory.high      the machine's memory ("10%"), or "max"; memory.high
//   memory.swap.max  exists on cgroup2 only, memory.swap.max takes 0 too
//   pids.max         processes, 1 to 4194304, or "max"
// (or their short names weight, burst, cpus, mem, memhigh, swap, pids).  tqd
// remembers them and applies them again after a restart; a percentage of
// memory follows the machine's memory.  A setting that is not valid is
// refused with the invalid-parameter error (Win32 87) before anything is
// sent; a tqd too old for settings gives Win32 1630.
TQRCGMGR_API CQiError setRcgProperties(const std::string& name, const std::list<std::string>& settings);
// One property each, as setRcgProperties takes it.
TQRCGMGR_API CQiError setRcgCPUWeight(const std::string& name, int weight);
TQRCGMGR_API CQiError setRcgCPUBurst(const std::string& name, int share);
TQRCGMGR_API CQiError setRcgCPUs(const std::string& name, const std::string& cpus);
TQRCGMGR_API CQiError setRcgMemoryMax(const std::string& name, const std::string& size);
TQRCGMGR_API CQiError setRcgMemoryHigh(const std::string& name, const std::string& size);
TQRCGMGR_API CQiError setRcgSwapMax(const std::string& name, const std::string& size);
TQRCGMGR_API CQiError setRcgPidsMax(const std::string& name, const std::string& count);
// Reads "Base"/"dTQRCGMGRENABLE" of the configuration store as atoi does
// into `enabled` (0 when absent); non-zero means enabled.  Always success.
TQRCGMGR_API CQiError checkRcgEnable(int& enabled);

}  // extern "C"
