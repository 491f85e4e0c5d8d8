#include "TqRcgProtocol.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

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
