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
// Reads "Base"/"dTQRCGMGRENABLE" of the configuration store as atoi does
// into `enabled` (0 when absent); non-zero means enabled.  Always success.
TQRCGMGR_API CQiError checkRcgEnable(int& enabled);

}  // extern "C"
