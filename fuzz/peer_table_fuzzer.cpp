// The kernel's TCP tables as tqd reads them where sock_diag is unavailable.
// Input: a table text; its first byte chooses the table (even: tcp, odd:
// tcp6).  Every line is read alone, then the whole text is searched for the
// socket of a fixed loopback peer.
//
// Besides the sanitizers it checks that a line read gives ends of the
// table's family, and that an owner is found only when some line of the text
// names exactly the peer's socket as held by a process.
#include <netinet/in.h>
#include <sys/socket.h>

#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "daemon/TqdPeer.h"

namespace {

using namespace tqd;

[[noreturn]] void Finding(const char* what, const std::string& detail) {
    std::fprintf(stderr, "FINDING: %s: %s\n", what, detail.c_str());
    std::abort();
}

Endpoint V4(std::uint16_t port) {
    Endpoint end;
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::memcpy(&end.address, &in, sizeof(in));
    end.length = sizeof(in);
    return end;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const int family = (data[0] & 1) ? AF_INET6 : AF_INET;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const Endpoint peer = V4(50000), local = V4(8400);

    std::istringstream lines(text);
    std::string line;
    bool named = false;
    while (std::getline(lines, line)) {
        TcpTableEntry entry;
        if (!ParseTcpTableLine(line, family, &entry)) continue;
        if (entry.local.address.ss_family != family || entry.remote.address.ss_family != family) {
            Finding("end of another family", line);
        }
        if (entry.inode != 0 && EndpointText(entry.remote) == "127.0.0.1:8400" &&
            (EndpointText(entry.local) == "127.0.0.1:50000")) {
            named = true;
        }
        if (entry.inode != 0 && EndpointText(entry.remote) == "[::ffff:127.0.0.1]:8400" &&
            EndpointText(entry.local) == "[::ffff:127.0.0.1]:50000") {
            named = true;
        }
    }
    std::istringstream table(text);
    uid_t uid = 0;
    std::string problem;
    const bool found = FindOwnerInTcpTable(table, family, peer, local, &uid, &problem);
    if (found != named) Finding(found ? "owner found for no line" : "owner missed", text);
    if (!found && problem.empty()) Finding("no reason given", text);
    return 0;
}
