#include "daemon/TqdServe.h"

#include <exception>

#include "common/TqRcgDefs.h"
#include "host/CQiError.h"
#include "host/EvDebug.h"
#include "service/TqRcgProtocol.h"

namespace tqd {

namespace {

// Sends the denial's reply and ends the sending side; only the log hears of
// a failure.
void SendRefusal(int fd, const std::string& peer, const std::string& denial) {
    EvDebug log(nullptr);
    const TqRcgReply reply = MakeRcgReply(AccessDeniedText(denial));
    CQiSocket socket(fd);
    int timedOut = 0;
    if (socket.SendWithTimeOut(reply.data(), reply.size(), kFrameSeconds, &timedOut, 0, nullptr).IsError() ||
        timedOut != 0 || socket.Shutdown(1).IsError()) {
        log.Error(kLogTag, "could not send the refusal to %s", peer.c_str());
    }
}

}  // namespace

std::string AccessDeniedText(const std::string& message) {
    return FXErrorUtil::ErrorWin32(
               FXCodeLocation{"TqdServe.cpp", "void tqd::ServeRequest(tqd::Request, const tqd::ServeContext&)",
                              __LINE__},
               kTqWin32AccessDenied, "%s", message.c_str())
        .AsString();
}

void ServeRequest(Request request, const ServeContext& context) {
    EvDebug log(nullptr);
    const int fd = request.fd.get();
    const std::string& peer = request.peer;

    const std::string& denial = request.denial;
    if (!denial.empty()) {
        log.Error(kLogTag, "refused the request from %s: %s", peer.c_str(), denial.c_str());
        if (context.events) context.events->peerRefused(fd, peer, denial);
        SendRefusal(fd, peer, denial);
        return;
    }

    log.DebugLvl(kLogTag, 4, "request from %s goes to rcgMgrHandler", peer.c_str());
    try {
        // The frame is exactly as long as a frame: a handler that read past
        // it would be caught by the sanitizer builds.
        context.handler(CQiSocket(fd), request.frame.data());
    } catch (const std::exception& error) {
        log.Error(kLogTag, "the request handler failed for %s: %s", peer.c_str(), error.what());
    } catch (...) {
        log.Error(kLogTag, "the request handler failed for %s with an unknown exception", peer.c_str());
    }
    // The connection closes as `request` goes.
}

}  // namespace tqd
