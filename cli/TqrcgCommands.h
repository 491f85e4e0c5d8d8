// The tqrcg command: argument parsing and the subcommands that talk to the
// daemon, read the configuration store or run a program in a group.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <list>
#include <string>
#include <vector>

#include "rcg/RcgProperties.h"
#include "rcg/RcgRecord.h"

class CQiError;

namespace tqrcg {

// Runs tqrcg with its arguments (argv[0] is the program name) and returns the
// exit status: 0 success, 1 failure, 2 usage error; `run` returns the
// command's own status.
int RunTqrcg(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

// The daemon's port as the client functions read it.
std::uint64_t ConfiguredTqdPort();

// Prints "tqrcg: <message>" for a failed request; returns kExitFailure.
int ReportFailure(const CQiError& error, std::ostream& err);

// The TqVersion line of the loaded libtqrcgmgr.so; false with a reason in
// *line when it cannot be read.
bool LibraryVersionLine(std::string* line);

// The figures of the groups the manager created, as list and top show them
// (TqRcgCtrllr::ReadRecordedFigures reads them).
using TqRcgCtrllr::RecordedFigures;

// `tqrcg list`: the groups the manager created, with cap, process count,
// remembered cap and throttling; as a table or (`json`) as a JSON array.
int ListGroups(bool json, std::ostream& out, std::ostream& err);

// `tqrcg top`: a live view of the groups' CPU use, refreshed every
// `seconds`; with `once`, one sample over `seconds` as plain text.
int TopGroups(double seconds, bool once, std::ostream& out, std::ostream& err);

// `tqrcg set`: the properties a group may carry, one line each, for --help.
std::string PropertiesHelp();
// The PROPERTY=VALUE arguments, parsed once; false with the problem printed
// as a usage error.
bool ParseSettingArguments(const std::vector<std::string>& texts,
                           std::vector<TqRcgCtrllr::RcgSetting>* settings, std::ostream& err);
// Sends the settings of `group` in one request: all applied or none.
CQiError ApplySettings(const std::string& group, const std::vector<TqRcgCtrllr::RcgSetting>& settings);
// `tqrcg set`: ApplySettings, a failure printed; the exit status.
int SetProperties(const std::string& group, const std::vector<TqRcgCtrllr::RcgSetting>& settings,
                  std::ostream& err);

// `tqrcg run`: runs `command` inside `group` capped at `percent`, with the
// properties `settings` set on the group before the command starts.
struct RunRequest {
    std::string group;
    int percent = 0;
    std::vector<TqRcgCtrllr::RcgSetting> settings;
    bool deleteAfter = false;
    std::vector<std::string> command;
};
int RunInGroup(const RunRequest& request, std::ostream& err);

}  // namespace tqrcg
