// How the runner hands a command line to /bin/sh.
#pragma once

#include <functional>
#include <string>

namespace tqfw {

// The script given to "sh -c".  A single simple command whose first word is
// a program (as `isProgram` says) becomes "exec <command>": the shell then
// replaces itself with the program instead of forking once more, which halves
// the processes started per command and leaves the exit status, output and
// process group as they were.  Anything else (pipes, lists, quoting,
// expansions, redirections, builtins, assignments) goes to the shell as it
// stands.
std::string ShellScript(const std::string& command,
                        const std::function<bool(const std::string& word)>& isProgram);

// Whether `word` names an executable file: as a path when it holds a '/',
// else found in the runner's PATH (/usr/sbin:/usr/bin:/sbin:/bin).
bool IsProgramOnPath(const std::string& word);

}  // namespace tqfw
