// The client side of the request service: the exported client operations
// (declared in the public header) and their transport to tqd.  The texts
// here are what the client's errors carry; tools that explain those errors
// compare against them.
#pragma once

// The message of the error a client operation returns when no connection
// to tqd can be made.
constexpr const char kTqRcgConnectFailedMessage[] = "Error happens in fwClient.connect()";
