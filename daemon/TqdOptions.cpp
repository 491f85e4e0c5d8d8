#include "TqdOptions.h"

#include <CLI/CLI.hpp>

#include "TqdConfig.h"
#include "TqdRun.h"

namespace tqd {

namespace {

void AddOptions(CLI::App* app, CommandLine* commandLine, bool* version) {
    app->add_option("--port", commandLine->port,
                    "TCP port to listen on, 1-65535 (default: Session/nTQDPORT of the store, else 8400)")
        ->type_name("PORT");
    app->add_option("--address", commandLine->addresses,
                    "Comma-separated numeric addresses to listen on (default: Session/sTQDADDRESS, else "
                    "127.0.0.1,::1; ::1 is skipped when IPv6 is unavailable)")
        ->type_name("LIST");
    app->add_option("--workers", commandLine->workers,
                    "Requests served at the same time, 1-1024 (default: Session/dTQDWORKERS, else 16)")
        ->type_name("N");
    app->add_option("--library", commandLine->library,
                    "Request handler library (default: Session/sTQDLIBRARY, else libtqrcgmgr.so beside tqd, "
                    "else ../lib/libtqrcgmgr.so from tqd's folder, else the loader's search path)")
        ->type_name("PATH");
    app->add_option("--pidfile", commandLine->pidFile,
                    "Pid file (default /run/tqd.pid when running as a daemon; none with --foreground unless "
                    "given)")
        ->type_name("PATH");
    app->add_flag("--foreground", commandLine->foreground,
                  "Stay in front (for systemd and for testing) and copy the event log to standard error");
    app->add_flag("--version", *version, "Print the TqVersion line of the library and exit");
}

void AddFooter(CLI::App* app) {
    app->footer(
        "Configuration store: TQ_CONFIG, else /etc/tq/<instance>.conf (instance: TQ_INSTANCE, else "
        "Instance001).\n"
        "Section [Session]: nTQDPORT, sTQDADDRESS, dTQDWORKERS, sTQDLIBRARY, and sTQDALLOWEDUIDS (uids\n"
        "besides root whose processes are served, separated by blanks or commas; read at start).\n"
        "sTQDMETRICSDIR and dTQDMETRICSINTERVAL: the folder of the metrics file tqrcgmgr.prom (default\n"
        "/var/lib/prometheus/node-exporter, empty: none) and the seconds between its writes (default 15).\n"
        "Log: <Base/sTQLOGDIR, default /var/log/tq>/<instance>.log, with one audit line per request.\n"
        "SIGTERM or SIGINT: stop accepting, let requests in flight finish (up to 15 seconds), exit 0.\n"
        "Exit status 1: the start failed (library, port in use, configuration), with the reason on standard "
        "error.");
}

}  // namespace

int RunTqd(int argc, char** argv) {
    CLI::App app{
        "tqd - the local daemon of the resource-group manager.\n"
        "Receives the requests of client processes on TCP (loopback only by default) and hands each to\n"
        "rcgMgrHandler of libtqrcgmgr.so, which acts on the cpu control groups (through the libcgroup\n"
        "tools on cgroup v1, on the cgroup2 filesystem itself on cgroup2) and answers \"Success\" or the\n"
        "error."};
    CommandLine commandLine;
    bool version = false;
    AddOptions(&app, &commandLine, &version);
    AddFooter(&app);
    CLI11_PARSE(app, argc, argv);
    if (version) return PrintVersion(commandLine);
    return RunDaemon(commandLine);
}

}  // namespace tqd
