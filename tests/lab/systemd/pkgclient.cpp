// A program of the kind a user builds against the installed packages (the
// systemd lab compiles it on the build host with the flags of
// `pkg-config --cflags --libs tqrcgmgr` and runs it in the guest):
//
//   pkgclient create GROUP | cap GROUP PERCENT | delete GROUP
//
// Prints tqd's answer; exit status 0 when it is a success, 1 otherwise,
// 2 for a wrong command line.
#include <tqrcgmgr/tqrcgmgr.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

int Usage() {
    std::fprintf(stderr, "usage: pkgclient create GROUP | cap GROUP PERCENT | delete GROUP\n");
    return 2;
}

int Report(const CQiError& result) {
    std::printf("%s\n", result.AsString().c_str());
    return result.IsError() ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return Usage();
    const std::string command = argv[1];
    const std::string group = argv[2];
    if (command == "create" && argc == 3) return Report(createRcgGroup(group));
    if (command == "delete" && argc == 3) return Report(deleteRcgGroup(group));
    if (command == "cap" && argc == 4) return Report(setRcgCPUShare(group, std::atoi(argv[3])));
    return Usage();
}
