#include "daemon/TqdNotify.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "host/UniqueFd.h"

namespace tqd {

bool NotifyReady(std::string* problem) {
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (name == nullptr || *name == '\0') return true;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(name);
    if ((name[0] != '/' && name[0] != '@') || length >= sizeof(address.sun_path)) {
        *problem = std::string("NOTIFY_SOCKET is not a socket path: ") + name;
        return false;
    }
    std::memcpy(address.sun_path, name, length);
    if (name[0] == '@') address.sun_path[0] = '\0';  // an abstract socket
    UniqueFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const char message[] = "READY=1";
    const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    if (!fd.open() || sendto(fd.get(), message, sizeof(message) - 1, MSG_NOSIGNAL,
                             reinterpret_cast<const sockaddr*>(&address), size) < 0) {
        *problem = std::string("cannot tell the service manager that tqd is ready: ") + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace tqd
