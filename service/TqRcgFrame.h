// Building and reading request frames: the pure part of the request service.
#pragma once

#include <array>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "TqRcgHandler.h"

typedef std::array<unsigned char, k_TqRcgFrameSize> TqRcgFrame;

// Whether the record's name field holds all of `name` with its NUL: at most
// k_TqRcgNameMaxSize bytes.  A longer name is never cut to another group's.
bool RcgNameFitsFrame(const std::string& name);

// A zero-filled record for `type` naming `name`: its characters up to the
// first NUL, at most k_TqRcgNameMaxSize of them.
TqRcgMsg MakeRcgMsg(RcgMsgType type, const std::string& name);

// Writes up to k_TqRcgMgrPidLimit ids into the record's slots in list order
// (all slots zeroed first); returns how many were taken.
std::size_t FillRcgPids(TqRcgMsg& msg, std::list<unsigned int>::const_iterator begin,
                        std::list<unsigned int>::const_iterator end);

// The header (network byte order) followed by the record's bytes unchanged.
TqRcgFrame EncodeRcgFrame(const TqRcgMsg& msg);

// What a frame's header says, in host byte order.
struct TqRcgFrameInfo {
    std::uint32_t frameLength;
    std::uint32_t requestCode;
};
TqRcgFrameInfo ReadRcgFrameHeader(const void* frame);

// A request as the handler reads it: the name up to its first NUL within the
// 256-byte field (all 256 bytes when the field holds no NUL), the type, the
// share and the non-zero pids in slot order.
struct TqRcgRequest {
    std::string name;
    std::int32_t msgType = 0;
    std::uint32_t cpuShare = 0;
    std::list<unsigned int> pids;
};
TqRcgRequest DecodeRcgFrame(const void* frame);

// The text of a reply as the client reads it: its bytes up to the first NUL,
// never past `size` (a reply without a NUL is all `size` bytes).
std::string ReadRcgReply(const char* reply, std::size_t size);
