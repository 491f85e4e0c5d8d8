// The serving of one request in tqd: the handler that answers it, or the
// refusal that a peer who is not served gets instead (sent by the reading
// thread, without waiting).
#pragma once

#include <functional>
#include <string>

#include "daemon/TqdConfig.h"
#include "daemon/TqdEvents.h"
#include "daemon/TqdPeer.h"
#include "daemon/TqdRequestQueue.h"
#include "host/CQiSocket.h"

namespace tqd {

// The access-denied error as the reply text: code 5 and `message`.
std::string AccessDeniedText(const std::string& message);

typedef std::function<void(CQiSocket, void*)> RequestHandler;
typedef std::function<PeerIdentity(int fd)> PeerIdentify;

struct ServeContext {
    RequestHandler handler;
    // Who the peer of a new connection is; asked once, at the accept, and
    // answered within a short time.  When empty every peer is served and
    // counts as root.
    PeerIdentify identifyPeer;
    // A whole frame must arrive within this time after the accept.
    int frameSeconds = kFrameSeconds;
    // Told about refused peers and frames (null: nobody); outlives the server.
    ServerEvents* events = nullptr;
};

// Serves one request: calls the handler, and closes the connection.
void ServeRequest(Request request, const ServeContext& context);

// Sends the access-denied reply with `denial` on `fd` and ends the sending
// side, without waiting: the reply fits the empty send buffer of a new
// connection, and a peer that has gone gets nothing.
void SendRefusal(int fd, const std::string& denial);

}  // namespace tqd
