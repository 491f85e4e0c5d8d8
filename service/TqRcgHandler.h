// The daemon side of the request service: rcgMgrHandler answers one request
// frame (see TqRcgProtocol.h for the wire format) and rcgMgrReapplyCaps
// applies the remembered caps again.  The client side lives in
// TqRcgClient.cpp.
#pragma once

#include "../common/TqRcgDefs.h"
#include "../host/CQiError.h"
#include "../host/CQiSocket.h"
#include "TqRcgProtocol.h"

extern "C" {

// Daemon side: answers one request frame (at least kTqRcgFrameSize bytes)
// received on `socket` with the 1024-byte reply, then ends the sending side.
TQ_EXPORT void rcgMgrHandler(CQiSocket socket, void* frame);

// Daemon side: applies every remembered cap again, re-creating missing
// groups.  tqd calls it at start (`change` null: one log line per action)
// and when the number of processors changes (`change` describes it and
// heads one log line).  Returns the number of caps that failed.
TQ_EXPORT int rcgMgrReapplyCaps(const char* change);

}  // extern "C"
