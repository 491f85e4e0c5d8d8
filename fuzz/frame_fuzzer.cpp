// Request frames and replies.  Input: any bytes.  The first 368 (padded
// with zeros) are decoded as a request frame; the request read from it is
// built and encoded again; the input is also read as a reply and its name
// field checked against the frame's limit.
//
// Besides the sanitizers it checks what decoding promises (a name of at
// most 256 bytes without a NUL, at most 16 non-zero ids) and that a request
// whose name fits survives encoding and decoding unchanged.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "service/TqRcgProtocol.h"

namespace {

[[noreturn]] void Finding(const char* what) {
    std::fprintf(stderr, "FINDING: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<unsigned char> frame(kTqRcgFrameSize, 0);
    std::memcpy(frame.data(), data, std::min(size, frame.size()));

    const TqRcgFrameInfo info = ReadRcgFrameHeader(frame.data());
    std::uint32_t word = 0;
    std::memcpy(&word, frame.data(), 4);
    if (info.frameLength != ntohl(word)) Finding("header length");

    const TqRcgRequest request = DecodeRcgFrame(frame.data());
    if (request.name.size() > k_TqRcgNameMaxSize + 1 || request.name.find('\0') != std::string::npos) {
        Finding("decoded name");
    }
    if (request.pids.size() > k_TqRcgMgrPidLimit) Finding("decoded ids");
    for (unsigned int pid : request.pids) {
        if (pid == 0) Finding("an empty slot decoded as an id");
    }

    if (RcgNameFitsFrame(request.name)) {
        TqRcgMsg msg = MakeRcgMsg(static_cast<RcgMsgType>(request.msgType), request.name);
        msg.cpuShare = request.cpuShare;
        if (FillRcgPids(msg, request.pids.cbegin(), request.pids.cend()) != request.pids.size()) {
            Finding("ids not all taken");
        }
        const TqRcgFrame encoded = EncodeRcgFrame(msg);
        const TqRcgFrameInfo again = ReadRcgFrameHeader(encoded.data());
        if (again.frameLength != kTqRcgFrameSize || again.requestCode != k_RcgMgrRequestCode) {
            Finding("encoded header");
        }
        const TqRcgRequest decoded = DecodeRcgFrame(encoded.data());
        if (decoded.name != request.name || decoded.msgType != request.msgType ||
            decoded.cpuShare != request.cpuShare || decoded.pids != request.pids) {
            Finding("request changed by encoding and decoding");
        }
    } else if (request.name.size() != k_TqRcgNameMaxSize + 1) {
        Finding("a name that fits was refused");
    }

    const std::size_t replySize = std::min<std::size_t>(size, k_TqRcgMgrCQiErrorSize);
    const std::string text = ReadRcgReply(reinterpret_cast<const char*>(data), replySize);
    if (text.size() > replySize || text.find('\0') != std::string::npos ||
        std::memcmp(text.data(), data, text.size()) != 0 || (text.size() < replySize && data[text.size()] != 0)) {
        Finding("reply text");
    }
    return 0;
}
