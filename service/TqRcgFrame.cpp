#include "TqRcgFrame.h"

#include <arpa/inet.h>

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
    header.frameLength = htonl(static_cast<std::uint32_t>(k_TqRcgFrameSize));
    header.requestCode = htonl(k_RcgMgrRequestCode);
    header.reserved7 = htonl(0);
    TqRcgFrame frame;
    std::memcpy(frame.data(), &header, sizeof(header));
    std::memcpy(frame.data() + sizeof(header), &msg, sizeof(msg));
    return frame;
}

TqRcgFrameInfo ReadRcgFrameHeader(const void* frame) {
    TqRcgFrameHeader header;
    std::memcpy(&header, frame, sizeof(header));
    return TqRcgFrameInfo{ntohl(header.frameLength), ntohl(header.requestCode)};
}

TqRcgRequest DecodeRcgFrame(const void* frame) {
    TqRcgMsg msg;
    std::memcpy(&msg, static_cast<const unsigned char*>(frame) + k_TqRcgFrameHeaderSize, sizeof(msg));
    TqRcgRequest request;
    request.name.assign(msg.rcgName, strnlen(msg.rcgName, sizeof(msg.rcgName)));
    request.msgType = msg.msgType;
    request.cpuShare = msg.cpuShare;
    for (std::uint32_t pid : msg.pids) {
        if (pid != 0) request.pids.push_back(pid);
    }
    return request;
}

std::string ReadRcgReply(const char* reply, std::size_t size) {
    return std::string(reply, strnlen(reply, size));
}
