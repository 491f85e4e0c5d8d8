// Runs tqrcg's command in this process, as its main would, and keeps what it
// printed.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "cli/TqrcgCommands.h"

namespace tqtest {

struct TqrcgOutcome {
    int status;
    std::string out;
    std::string err;
};

// `args` are the arguments after the program name.
inline TqrcgOutcome TqrcgInProcess(std::vector<std::string> args) {
    args.insert(args.begin(), "tqrcg");
    std::vector<const char*> argv;
    for (const auto& arg : args) argv.push_back(arg.c_str());
    std::ostringstream out, err;
    const int status = tqrcg::RunTqrcg(static_cast<int>(argv.size()), argv.data(), out, err);
    return TqrcgOutcome{status, out.str(), err.str()};
}

}  // namespace tqtest
