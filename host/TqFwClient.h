// Connections to the local daemon tqd.
#pragma once

#include <string>

#include "CQiSocket.h"

typedef void (*TqFwConnectCallback)(void* context);

class TqFwClient {
public:
    TqFwClient();
    ~TqFwClient();

    // Resolves `host` and tries each address in turn until one connects
    // within `connectTimeoutSeconds` (-1: 5 s).  `port` is the daemon's port;
    // `fallbackPort`, when different, is tried after it.  `retries` (-1: none),
    // callback, context and `keepAlive` are the platform's and unused here.
    // Returns an invalid CQiSocket when no address connects.
    CQiSocket connect(const std::string& host, int port, int fallbackPort, int connectTimeoutSeconds,
                      int retries, TqFwConnectCallback callback, void* context, bool keepAlive);
};
