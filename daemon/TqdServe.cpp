#include "daemon/TqdServe.h"

#include <sys/socket.h>

#include <cerrno>
#include <exception>

#include "common/TqRcgDefs.h"
#include "host/CQiError.h"
#include "host/EvDebug.h"
#include "service/TqRcgProtocol.h"

namespace tqd {

std::string AccessDeniedText(const std::string& message) {
    return FXErrorUtil::ErrorWin32(
               FXCodeLocation{"TqdServe.cpp", "void tqd::ServeRequest(tqd::Request, const tqd::ServeContext&)",
                              __LINE__},
               kTqWin32AccessDenied, "%s", message.c_str())
        .AsString();
}

void SendRefusal(int fd, const std::string& denial) {
    const TqRcgReply reply = MakeRcgReply(AccessDeniedText(denial));
    ssize_t sent;
    do {
        sent = send(fd, reply.data(), reply.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    shutdown(fd, SHUT_WR);
}

void ServeRequest(Request request, const ServeContext& context) {
    EvDebug log(nullptr);
    const int fd = request.fd.get();
    const std::string& peer = request.peer;

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
