#include <dlfcn.h>

#include <CLI/CLI.hpp>
#include <climits>
#include <functional>
#include <ostream>

#include "TqrcgCommands.h"
#include "TqrcgText.h"
#include "host/CQiError.h"
#include "host/ElfSection.h"
#include "host/TQPlatformInfo.h"
#include "host/TqdPort.h"
#include "include/tqrcgmgr/tqrcgmgr.h"

namespace tqrcg {
namespace {

const char kDaemonNote[] =
    "Requests go to the daemon tqd on this host, at the port \"Session\"/\"nTQDPORT\" of the\n"
    "configuration store ($TQ_CONFIG, else /etc/tq/<instance>.conf; default port 8400).\n"
    "tqd must be running: start it with `service tqd start` or `tqd --foreground &`.\n"
    "Exit status: 0 success, 1 failure (printed as \"tqrcg: <message>\"), 2 usage error.";

const char kRunNote[] =
    "Requests go to the daemon tqd on this host, at the port \"Session\"/\"nTQDPORT\" of the\n"
    "configuration store ($TQ_CONFIG, else /etc/tq/<instance>.conf; default port 8400).\n"
    "tqd must be running: start it with `service tqd start` or `tqd --foreground &`.\n"
    "Exit status: the command's; 1 when tqrcg fails (printed as \"tqrcg: <message>\"), 2 usage error.";

const char kLocalNote[] =
    "Reads the configuration store ($TQ_CONFIG, else /etc/tq/<instance>.conf); tqd need not run.\n"
    "Exit status: 0 success, 1 failure, 2 usage error.";

// A usage error in tqrcg's own words.
std::string UsageMessage(const CLI::App*, const CLI::Error& e) {
    return std::string("tqrcg: ") + e.what() + "\nRun with --help for more information.\n";
}

// Checks that an argument is a plain decimal number within [min, max].
CLI::Validator DecimalIn(unsigned long min, unsigned long max, const std::string& what) {
    return CLI::Validator(
        [min, max, what](std::string& text) -> std::string {
            unsigned long value = 0;
            if (ParseDecimal(text, min, max, &value)) return "";
            return what + " must be a whole number from " + std::to_string(min) + " to " +
                   std::to_string(max) + ", not \"" + text + "\"";
        },
        "");
}

int Finish(const CQiError& result, std::ostream& err) {
    return result.IsError() ? ReportFailure(result, err) : kExitSuccess;
}

std::list<unsigned int> PidList(const std::vector<std::string>& texts) {
    std::list<unsigned int> pids;
    for (const auto& text : texts) {
        unsigned long pid = 0;
        ParseDecimal(text, 1, UINT_MAX, &pid);  // checked while parsing
        pids.push_back(static_cast<unsigned int>(pid));
    }
    return pids;
}

// What the subcommands read from the command line.
struct Arguments {
    bool showVersion = false;
    std::string group;
    std::string percentText;
    std::vector<std::string> pidTexts;
    bool listJson = false;
    double topSeconds = 1.0;
    bool topOnce = false;
    std::vector<std::string> settingTexts;
    RunRequest runRequest;

    // PERCENT, checked while parsing.
    int percent() const {
        unsigned long value = 0;
        ParseDecimal(percentText, 1, 100, &value);
        return static_cast<int>(value);
    }
};

// A subcommand and what it does once the command line is parsed.
struct Subcommand {
    CLI::App* app;
    std::function<int(std::ostream& out, std::ostream& err)> run;
};

CLI::App* AddSubcommand(CLI::App& app, const char* name, const char* summary, const std::string& details,
                        const char* note) {
    CLI::App* sub = app.add_subcommand(name, summary);
    sub->footer(details.empty() ? std::string(note) : details + "\n\n" + note);
    return sub;
}

void AddPercentOption(CLI::App* sub, std::string& percentText) {
    sub->add_option("PERCENT", percentText, "Cap, 1 to 100")
        ->required()
        ->type_name("NUMBER")
        ->check(DecimalIn(1, 100, "PERCENT"));
}

void AddPidOption(CLI::App* sub, std::vector<std::string>& pidTexts) {
    sub->add_option("PID", pidTexts, "Process ids")
        ->required()
        ->type_name("NUMBER")
        ->check(DecimalIn(1, UINT_MAX, "PID"));
}

// create, delete and cap.
void AddGroupCommands(CLI::App& app, Arguments& args, std::vector<Subcommand>* commands) {
    CLI::App* create = AddSubcommand(app, "create", "Create the resource group GROUP.",
                                     "A control group of the cpu controller; one that exists already is left as it is.",
                                     kDaemonNote);
    create->add_option("GROUP", args.group, "Group name")->required();
    commands->push_back({create, [&args](std::ostream&, std::ostream& err) {
                             return Finish(createRcgGroup(args.group), err);
                         }});

    CLI::App* removeGroup = AddSubcommand(app, "delete", "Delete the resource group GROUP.",
                                          "The group must hold no processes.  A group that does not exist is\n"
                                          "not an error.",
                                          kDaemonNote);
    removeGroup->add_option("GROUP", args.group, "Group name")->required();
    commands->push_back({removeGroup, [&args](std::ostream&, std::ostream& err) {
                             return Finish(deleteRcgGroup(args.group), err);
                         }});

    CLI::App* cap = AddSubcommand(app, "cap", "Cap the CPU use of GROUP at PERCENT percent of the machine.",
                                  "The processes of GROUP together may use PERCENT percent of all processors\n"
                                  "of the machine together.  GROUP must exist.",
                                  kDaemonNote);
    cap->add_option("GROUP", args.group, "Group name")->required();
    AddPercentOption(cap, args.percentText);
    commands->push_back({cap, [&args](std::ostream&, std::ostream& err) {
                             return Finish(setRcgCPUShare(args.group, args.percent()), err);
                         }});

    CLI::App* set = AddSubcommand(app, "set", "Set the properties PROPERTY=VALUE... of GROUP.",
                                  "All of them are applied or none is: a value the kernel refuses undoes\n"
                                  "those written before it.  GROUP must exist.  tqd remembers the values as\n"
                                  "given and applies them again when it starts; a percentage of memory\n"
                                  "follows the machine's memory.  Sizes take K, M, G or T (powers of 1024).\n"
                                  "On cgroup v1 each property goes to its controller's hierarchy (cpu,\n"
                                  "cpuset, memory, pids), which must be mounted.\n\n" +
                                      PropertiesHelp(),
                                  kDaemonNote);
    set->add_option("GROUP", args.group, "Group name")->required();
    set->add_option("SETTING", args.settingTexts, "PROPERTY=VALUE, one or more")
        ->required()
        ->type_name("PROPERTY=VALUE");
    commands->push_back({set, [&args](std::ostream&, std::ostream& err) {
                             std::vector<TqRcgCtrllr::RcgSetting> settings;
                             if (!ParseSettingArguments(args.settingTexts, &settings, err)) return kExitUsage;
                             return SetProperties(args.group, settings, err);
                         }});
}

// assign and remove.
void AddProcessCommands(CLI::App& app, Arguments& args, std::vector<Subcommand>* commands) {
    CLI::App* assign = AddSubcommand(app, "assign", "Move the processes PID... into GROUP.",
                                     "GROUP must exist.  Lists of more than 16 ids are sent as several\n"
                                     "requests of 16; the first failure ends the command.",
                                     kDaemonNote);
    assign->add_option("GROUP", args.group, "Group name")->required();
    AddPidOption(assign, args.pidTexts);
    commands->push_back({assign, [&args](std::ostream&, std::ostream& err) {
                             return Finish(assignPidsTo(args.group, PidList(args.pidTexts)), err);
                         }});

    CLI::App* remove = AddSubcommand(app, "remove", "Move the processes PID... out of GROUP.",
                                     "They go into the group tqrcgmgrdummy, which is created when needed.\n"
                                     "GROUP must exist.  Lists of more than 16 ids are sent as several\n"
                                     "requests of 16; the first failure ends the command.",
                                     kDaemonNote);
    remove->add_option("GROUP", args.group, "Group name")->required();
    AddPidOption(remove, args.pidTexts);
    commands->push_back({remove, [&args](std::ostream&, std::ostream& err) {
                             return Finish(removePidsFrom(args.group, PidList(args.pidTexts)), err);
                         }});
}

// enabled and list.
void AddStoreCommands(CLI::App& app, Arguments& args, std::vector<Subcommand>* commands) {
    CLI::App* enabled = AddSubcommand(app, "enabled", "Print whether the resource-group manager is enabled.",
                                      "Prints the value of the setting \"Base\"/\"dTQRCGMGRENABLE\" (0 when\n"
                                      "absent; non-zero means enabled).",
                                      kLocalNote);
    commands->push_back({enabled, [](std::ostream& out, std::ostream&) {
                             int value = 0;
                             checkRcgEnable(value);
                             out << value << "\n";
                             return kExitSuccess;
                         }});

    CLI::App* list = AddSubcommand(app, "list", "List the groups that the manager has created.",
                                   "The groups of the setting \"Base\"/\"sTQRCGMGRGROUPS\", in the order of\n"
                                   "creation, each with its cap in percent of the machine (none: no cap), its\n"
                                   "number of processes, the cap tqd remembers for it, the share of CFS\n"
                                   "periods in which the kernel throttled it and the time it was throttled\n"
                                   "since it was made; a listed group that no longer exists is shown as such.\n"
                                   "Where the kernel has them, further columns follow: MEMORY in use, its\n"
                                   "PEAK, OOM-KILLS, TASKS (pids.current), CPU-PRESSURE and MEM-PRESSURE (the\n"
                                   "\"some avg10\" share, cgroup2 only), and SETTINGS: each property set with\n"
                                   "`tqrcg set` as asked, followed by [kernel:VALUE] where the kernel holds\n"
                                   "another value (and by the bytes for a percentage of memory).  Reads the\n"
                                   "hierarchies in use (cgroup v1 or cgroup2); needs neither root nor tqd.",
                                   kLocalNote);
    list->add_flag("--json", args.listJson,
                   "Print a JSON array of objects, one per group, with numeric fields whose names carry "
                   "their unit and an object \"properties\" that holds each property's \"asked\" and "
                   "\"kernel\" value");
    commands->push_back({list, [&args](std::ostream& out, std::ostream& err) {
                             return ListGroups(args.listJson, out, err);
                         }});
}

void AddTopCommand(CLI::App& app, Arguments& args, std::vector<Subcommand>* commands) {
    CLI::App* top = AddSubcommand(app, "top", "Show the groups' CPU use live, one line per group.",
                                  "Every SECONDS (-d, default 1) one line per group: its cap, its CPU use over\n"
                                  "the last interval in percent of the machine with a bar against the cap,\n"
                                  "the share of the interval's CFS periods in which it was throttled, and\n"
                                  "its processes; where the kernel has them, its memory in use (against\n"
                                  "memory.max), OOM kills, tasks (against pids.max) and the \"some avg10\"\n"
                                  "pressure of CPU and memory; sorted by use.  Keys: q quits, s changes the sort key\n"
                                  "(use, cap, throttled, processes, name).  With --once: one sample taken\n"
                                  "over SECONDS, printed as plain text.",
                                  kLocalNote);
    top->add_option("-d,--delay", args.topSeconds, "Seconds between samples, 0.1 to 3600 (default 1)")
        ->type_name("SECONDS")
        ->check(CLI::Range(0.1, 3600.0));
    top->add_flag("--once", args.topOnce, "Print one sample, taken over SECONDS, as plain text and exit");
    commands->push_back({top, [&args](std::ostream& out, std::ostream& err) {
                             return TopGroups(args.topSeconds, args.topOnce, out, err);
                         }});
}

void AddRunCommand(CLI::App& app, Arguments& args, std::vector<Subcommand>* commands) {
    CLI::App* run = AddSubcommand(app, "run", "Run COMMAND inside GROUP capped at PERCENT percent of the machine.",
                                  "Creates GROUP when needed, sets its cap, moves the command's process into\n"
                                  "GROUP before the command starts, passes SIGINT and SIGTERM sent to tqrcg\n"
                                  "on to it (a Ctrl-C from the terminal reaches it directly), waits for it\n"
                                  "and exits with its exit status (128 + the signal number when a signal\n"
                                  "ended it).  GROUP stays afterwards unless --delete is given.  Put --\n"
                                  "before COMMAND when it has options of its own.  Each --set PROPERTY=VALUE\n"
                                  "is set on GROUP, all of them or none, before the command starts, as\n"
                                  "`tqrcg set` sets it (see `tqrcg set --help` for the properties).",
                                  kRunNote);
    run->add_flag("--delete", args.runRequest.deleteAfter,
                  "Delete GROUP after the command has ended (fails while other processes are in it)");
    run->add_option("--set", args.settingTexts, "Set PROPERTY=VALUE on GROUP before the command starts; repeatable")
        ->type_name("PROPERTY=VALUE")
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    run->add_option("GROUP", args.runRequest.group, "Group name")->required();
    AddPercentOption(run, args.percentText);
    run->add_option("COMMAND", args.runRequest.command, "The command and its arguments")->required();
    commands->push_back({run, [&args](std::ostream& out, std::ostream& err) {
                             args.runRequest.percent = args.percent();
                             if (!ParseSettingArguments(args.settingTexts, &args.runRequest.settings, err))
                                 return kExitUsage;
                             out.flush();
                             return RunInGroup(args.runRequest, err);
                         }});
}

// `tqrcg --version`.
int PrintVersion(std::ostream& out, std::ostream& err) {
    std::string line;
    if (!LibraryVersionLine(&line)) {
        err << "tqrcg: " << line << "\n";
        return kExitFailure;
    }
    out << line;
    if (line.empty() || line.back() != '\n') out << "\n";
    return kExitSuccess;
}

}  // namespace

std::uint64_t ConfiguredTqdPort() {
    TQPlatformInfo store;
    store.setFocus(TQPI_Focus::getFocus());
    return TqdClientPort(store);
}

int ReportFailure(const CQiError& error, std::ostream& err) {
    err << "tqrcg: " << FailureText(error.AsString(), ConfiguredTqdPort()) << "\n";
    return kExitFailure;
}

bool LibraryVersionLine(std::string* line) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&createRcgGroup), &info) == 0 || info.dli_fname == nullptr) {
        *line = "cannot find the loaded libtqrcgmgr.so";
        return false;
    }
    if (!ReadElfSection(info.dli_fname, "TqVersion", line)) {
        *line = std::string("cannot read the section TqVersion of ") + info.dli_fname;
        return false;
    }
    return true;
}

int RunTqrcg(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    CLI::App app("tqrcg: creates, caps, sets and fills resource groups through the daemon tqd.", "tqrcg");
    app.footer(kDaemonNote);
    app.failure_message(UsageMessage);
    app.require_subcommand(0, 1);
    Arguments args;
    app.add_flag("--version", args.showVersion, "Print the version line of libtqrcgmgr.so and exit.");

    std::vector<Subcommand> commands;
    AddGroupCommands(app, args, &commands);
    AddProcessCommands(app, args, &commands);
    AddStoreCommands(app, args, &commands);
    AddTopCommand(app, args, &commands);
    AddRunCommand(app, args, &commands);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e, out, err);
        return status == 0 ? kExitSuccess : kExitUsage;
    }

    if (args.showVersion) return PrintVersion(out, err);
    for (const auto& command : commands) {
        if (*command.app) return command.run(out, err);
    }
    err << "tqrcg: a subcommand is required\nRun with --help for more information.\n";
    return kExitUsage;
}

}  // namespace tqrcg
