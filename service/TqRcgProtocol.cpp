#include "TqRcgProtocol.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace {

const std::array<RcgRequestType, kRcgRequestTypeCount> kRequestTypes = {{
    {RcgMsgCreateGroup, "create", RcgRequestFields::kName},
    {RcgMsgDeleteGroup, "delete", RcgRequestFields::kName},
    {RcgMsgSetCPUShare, "cap", RcgRequestFields::kShare},
    {RcgMsgAssignPids, "assign", RcgRequestFields::kPids},
    {RcgMsgRemovePids, "remove", RcgRequestFields::kPids},
    {RcgMsgSetProperties, "set", RcgRequestFields::kSettings},
}};

bool IsMarkedSettings(std::int32_t msgType, std::uint32_t cpuShare) {
    return msgType == RcgMsgSetProperties && cpuShare == kRcgSettingsMark;
}

// The settings in a record's pid slots; false when they are malformed.
bool ReadSettings(const TqRcgMsg& msg, std::vector<TqRcgWireSetting>* settings) {
    const char* at = reinterpret_cast<const char*>(msg.pids);
    const char* end = at + sizeof(msg.pids);
    while (at != end && *at != '\0') {
        const char* nul = static_cast<const char*>(std::memchr(at, '\0', static_cast<std::size_t>(end - at)));
        if (nul == nullptr || nul - at < 2) return false;
        settings->push_back(TqRcgWireSetting{*at, std::string(at + 1, nul)});
        at = nul + 1;
    }
    return !settings->empty();
}

}  // namespace

const std::array<RcgRequestType, kRcgRequestTypeCount>& RcgRequestTypes() { return kRequestTypes; }

const RcgRequestType* FindRcgRequestType(std::int32_t msgType) {
    for (const RcgRequestType& type : kRequestTypes) {
        if (type.type == msgType) return &type;
    }
    return nullptr;
}

const RcgRequestType* RequestTypeOf(const TqRcgRequest& request) {
    if (request.msgType == RcgMsgSetProperties && !IsMarkedSettings(request.msgType, request.cpuShare))
        return nullptr;
    return FindRcgRequestType(request.msgType);
}

bool FillRcgSettings(TqRcgMsg& msg, const std::vector<TqRcgWireSetting>& settings) {
    std::string bytes;
    for (const TqRcgWireSetting& setting : settings) {
        if (setting.code == '\0' || setting.value.empty() || setting.value.find('\0') != std::string::npos)
            return false;
        bytes += setting.code + setting.value + '\0';
    }
    if (bytes.empty() || bytes.size() > sizeof(msg.pids)) return false;
    std::memset(msg.pids, 0, sizeof(msg.pids));
    std::memcpy(msg.pids, bytes.data(), bytes.size());
    msg.cpuShare = kRcgSettingsMark;
    return true;
}

bool RcgNameFitsFrame(const std::string& name) { return name.size() <= k_TqRcgNameMaxSize; }

TqRcgMsg MakeRcgMsg(RcgMsgType type, const std::string& name) {
    TqRcgMsg msg;
    std::memset(&msg, 0, sizeof(msg));
    const std::size_t length = strnlen(name.c_str(), k_TqRcgNameMaxSize);
    std::memcpy(msg.rcgName, name.data(), length);
    msg.msgType = type;
    return msg;
}

std::size_t FillRcgPids(TqRcgMsg& msg, std::list<unsigned int>::const_iterator begin,
                        std::list<unsigned int>::const_iterator end) {
    std::memset(msg.pids, 0, sizeof(msg.pids));
    std::size_t slot = 0;
    for (auto it = begin; it != end && slot < k_TqRcgMgrPidLimit; ++it) msg.pids[slot++] = *it;
    return slot;
}

TqRcgFrame EncodeRcgFrame(const TqRcgMsg& msg) {
    TqRcgFrameHeader header;
    std::memset(&header, 0, sizeof(header));
    header.frameLength = htonl(static_cast<std::uint32_t>(kTqRcgFrameSize));
    header.requestCode = htonl(k_RcgMgrRequestCode);
    header.reserved7 = htonl(0);
    TqRcgFrame frame;
    std::memcpy(frame.data(), &header, sizeof(header));
    std::memcpy(frame.data() + sizeof(header), &msg, sizeof(msg));
    return frame;
}

TqRcgFrameInfo ReadRcgFrameHeader(const void* frame) {
    const unsigned char* bytes = static_cast<const unsigned char*>(frame);
    std::uint32_t length = 0;
    std::uint32_t code = 0;
    std::memcpy(&length, bytes + offsetof(TqRcgFrameHeader, frameLength), sizeof(length));
    std::memcpy(&code, bytes + offsetof(TqRcgFrameHeader, requestCode), sizeof(code));
    return TqRcgFrameInfo{ntohl(length), ntohl(code)};
}

TqRcgRequest DecodeRcgFrame(const void* frame) {
    TqRcgMsg msg;
    std::memcpy(&msg, static_cast<const unsigned char*>(frame) + kTqRcgFrameHeaderSize, sizeof(msg));
    TqRcgRequest request;
    request.name.assign(msg.rcgName, strnlen(msg.rcgName, sizeof(msg.rcgName)));
    request.msgType = msg.msgType;
    request.cpuShare = msg.cpuShare;
    if (IsMarkedSettings(msg.msgType, msg.cpuShare)) {
        request.settingsReadable = ReadSettings(msg, &request.settings);
        return request;
    }
    for (std::uint32_t pid : msg.pids) {
        if (pid != 0) request.pids.push_back(pid);
    }
    return request;
}

TqRcgReply MakeRcgReply(const std::string& text) {
    TqRcgReply reply;
    reply.fill('\0');
    std::memcpy(reply.data(), text.data(), std::min(text.size(), reply.size() - 1));
    return reply;
}

std::string ReadRcgReply(const char* reply, std::size_t size) {
    return std::string(reply, strnlen(reply, size));
}
