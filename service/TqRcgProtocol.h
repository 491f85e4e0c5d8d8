// The wire format of the request service, shared by the client transport,
// the daemon-side handler and tqd: the request record, the frame that
// carries it (header and record), the 1024-byte reply and their sizes.
// Pure: nothing here touches a socket.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "../common/TqRcgDefs.h"

// Request code of the frames that the daemon routes to rcgMgrHandler.
constexpr std::uint32_t k_RcgMgrRequestCode = 0xEAFF;

enum RcgMsgType : std::int32_t {
    RcgMsgCreateGroup = 0,
    RcgMsgDeleteGroup = 1,
    RcgMsgSetCPUShare = 2,
    RcgMsgAssignPids = 3,
    RcgMsgRemovePids = 4,
    // Sets properties of a group (memory, CPU weight and burst, processors,
    // process count) all at once or none: the record's cpuShare holds
    // kRcgSettingsMark and its pid slots the settings (see FillRcgSettings).
    RcgMsgSetProperties = 16,
};

// What a request carries besides its group name.
enum class RcgRequestFields { kName, kShare, kPids, kSettings };

// One request type: its value, the word that names it (the audit trail,
// tqrcg, the bench) and what it carries.
struct RcgRequestType {
    RcgMsgType type;
    const char* name;
    RcgRequestFields fields;
};
constexpr std::size_t kRcgRequestTypeCount = 6;
const std::array<RcgRequestType, kRcgRequestTypeCount>& RcgRequestTypes();
// The type of `msgType`; null for a value that is none of them.
const RcgRequestType* FindRcgRequestType(std::int32_t msgType);

// cpuShare of a RcgMsgSetProperties request ("TQP1"): a record with any
// other value there is not such a request, so that a peer that sends the
// type's value by chance keeps its "not supported" reply.
constexpr std::uint32_t kRcgSettingsMark = 0x54515031;

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

constexpr std::size_t kTqRcgFrameHeaderSize = sizeof(TqRcgFrameHeader);
constexpr std::size_t kTqRcgFrameSize = kTqRcgFrameHeaderSize + sizeof(TqRcgMsg);
static_assert(kTqRcgFrameSize == 368, "a request frame is 368 bytes");
// The leading bytes of a frame that hold the frame length and the request
// code: all that ReadRcgFrameHeader reads.
constexpr std::size_t kTqRcgFrameInfoSize = offsetof(TqRcgFrameHeader, requestCode) + sizeof(std::uint32_t);
static_assert(kTqRcgFrameInfoSize == 16, "length and code lie in the first 16 bytes");

typedef std::array<unsigned char, kTqRcgFrameSize> TqRcgFrame;
// The reply: the text, then NUL bytes up to k_TqRcgMgrCQiErrorSize.
typedef std::array<char, k_TqRcgMgrCQiErrorSize> TqRcgReply;

// ---- requests ------------------------------------------------------------

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

// What a frame's header says, in host byte order, read from its first
// kTqRcgFrameInfoSize bytes.
struct TqRcgFrameInfo {
    std::uint32_t frameLength;
    std::uint32_t requestCode;
};
TqRcgFrameInfo ReadRcgFrameHeader(const void* frame);

// A setting as it travels: the property's one-byte code and its value's
// text ("M" "64M").
struct TqRcgWireSetting {
    char code = 0;
    std::string value;
};

// Writes the settings into the record's pid slots (64 bytes) as code, value
// text and NUL each, zero-filling the rest, and marks the record; false,
// with the record unchanged, when they do not fit.
bool FillRcgSettings(TqRcgMsg& msg, const std::vector<TqRcgWireSetting>& settings);

// A request as the handler reads it: the name up to its first NUL within the
// 256-byte field (all 256 bytes when the field holds no NUL), the type, the
// share and the non-zero pids in slot order.  A marked RcgMsgSetProperties
// record has its settings instead of pids; `settingsReadable` is false when
// its slots do not hold settings (an entry without its NUL, an empty value).
struct TqRcgRequest {
    std::string name;
    std::int32_t msgType = 0;
    std::uint32_t cpuShare = 0;
    std::list<unsigned int> pids;
    std::vector<TqRcgWireSetting> settings;
    bool settingsReadable = true;
};
// The request's type: null for a value that is none of them, and for a
// RcgMsgSetProperties record without kRcgSettingsMark.
const RcgRequestType* RequestTypeOf(const TqRcgRequest& request);
// Reads a whole frame (kTqRcgFrameSize bytes).
TqRcgRequest DecodeRcgFrame(const void* frame);

// ---- replies -------------------------------------------------------------

// The zero-filled reply that carries `text`, cut to 1023 characters so that
// a NUL always ends it.
TqRcgReply MakeRcgReply(const std::string& text);

// The text of a reply: its bytes up to the first NUL, never past `size` (a
// reply without a NUL is all `size` bytes).
std::string ReadRcgReply(const char* reply, std::size_t size);
