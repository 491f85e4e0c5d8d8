// A client of the installed library: it sees only the public headers.
// Prints the enable flag, then asks for a group at the store's port, where
// no tqd listens, and prints the error code.
#include <tqrcgmgr/tqrcgmgr.h>

#include <cstdio>
#include <list>

int main() {
    int enabled = -1;
    const CQiError check = checkRcgEnable(enabled);
    std::printf("enabled %d %s\n", enabled, check.AsString().c_str());

    // Every client function links.
    const void* functions[] = {reinterpret_cast<const void*>(&createRcgGroup),
                               reinterpret_cast<const void*>(&deleteRcgGroup),
                               reinterpret_cast<const void*>(&setRcgCPUShare),
                               reinterpret_cast<const void*>(&assignPidsTo),
                               reinterpret_cast<const void*>(&removePidsFrom)};
    for (const void* function : functions) {
        if (function == nullptr) return 1;
    }

    const CQiError result = createRcgGroup("tqclient_nodaemon");
    std::printf("create %s %u\n", result.IsError() ? "error" : "success", result.Win32Code());
    return 0;
}
