// The request service and the client interface of the resource-group
// manager: the request record and its wire frame, the daemon-side handler,
// and the exported client operations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include "../common/TqRcgDefs.h"
#include "../host/CQiError.h"
#include "../host/CQiSocket.h"
// The exported client operations: the public interface.
#include "../include/tqrcgmgr/tqrcgmgr.h"

// Request code of the frames that the daemon routes to rcgMgrHandler.
constexpr std::uint32_t k_RcgMgrRequestCode = 0xEAFF;

enum RcgMsgType : std::int32_t {
    RcgMsgCreateGroup = 0,
    RcgMsgDeleteGroup = 1,
    RcgMsgSetCPUShare = 2,
    RcgMsgAssignPids = 3,
    RcgMsgRemovePids = 4,
};

// The request record; its fields travel in host byte order.
struct TqRcgMsg {
    char rcgName[k_TqRcgNameMaxSize + 1];  // NUL-terminated; byte 255 always NUL
    std::int32_t msgType;                  // RcgMsgType
    std::uint32_t cpuShare;                // percent of the whole machine
    std::uint32_t pids[k_TqRcgMgrPidLimit];  // 0 = empty slot
};

static_assert(sizeof(TqRcgMsg) == 328, "TqRcgMsg is 328 bytes");
static_assert(offsetof(TqRcgMsg, rcgName) == 0, "rcgName at 0");
static_assert(offsetof(TqRcgMsg, msgType) == 256, "msgType at 256");
static_assert(offsetof(TqRcgMsg, cpuShare) == 260, "cpuShare at 260");
static_assert(offsetof(TqRcgMsg, pids) == 264, "pids at 264");

// The frame header: ten 32-bit words in network byte order.
struct TqRcgFrameHeader {
    std::uint32_t frameLength;  // 368, header included
    std::uint32_t reserved1[2];
    std::uint32_t requestCode;  // k_RcgMgrRequestCode
    std::uint32_t reserved4[3];
    std::uint32_t reserved7;    // written explicitly as zero
    std::uint32_t reserved8[2];
};

static_assert(sizeof(TqRcgFrameHeader) == 40, "the frame header is 40 bytes");
static_assert(offsetof(TqRcgFrameHeader, frameLength) == 0, "frameLength at 0");
static_assert(offsetof(TqRcgFrameHeader, requestCode) == 12, "requestCode at 12");
static_assert(offsetof(TqRcgFrameHeader, reserved7) == 28, "word 7 at 28");

constexpr std::size_t k_TqRcgFrameHeaderSize = sizeof(TqRcgFrameHeader);
constexpr std::size_t k_TqRcgFrameSize = k_TqRcgFrameHeaderSize + sizeof(TqRcgMsg);
static_assert(k_TqRcgFrameSize == 368, "a request frame is 368 bytes");

extern "C" {

// Daemon side: answers one request frame (at least k_TqRcgFrameSize bytes)
// received on `socket` with the 1024-byte reply, then ends the sending side.
TQ_EXPORT void rcgMgrHandler(CQiSocket socket, void* frame);

// Daemon side: applies every remembered cap again, re-creating missing
// groups.  tqd calls it at start (`change` null: one log line per action)
// and when the number of processors changes (`change` describes it and
// heads one log line).  Returns the number of caps that failed.
TQ_EXPORT int rcgMgrReapplyCaps(const char* change);

}  // extern "C"
