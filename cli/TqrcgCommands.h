// The tqrcg command: argument parsing and the subcommands that talk to the
// daemon, read the configuration store or run a program in a group.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <list>
#include <string>
#include <vector>

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

// `tqrcg run`: runs `command` inside `group` capped at `percent`.
struct RunRequest {
    std::string group;
    int percent = 0;
    bool deleteAfter = false;
    std::vector<std::string> command;
};
int RunInGroup(const RunRequest& request, std::ostream& err);

}  // namespace tqrcg
