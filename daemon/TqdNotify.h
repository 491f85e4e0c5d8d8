// Telling a service manager that tqd serves: the sd_notify datagram
// "READY=1" to the socket named by $NOTIFY_SOCKET (systemd's Type=notify).
#pragma once

#include <string>

namespace tqd {

// Sends "READY=1" when $NOTIFY_SOCKET names a socket ("@name" for an
// abstract one); true when it is unset or the datagram went, else false with
// the reason.
bool NotifyReady(std::string* problem);

}  // namespace tqd
