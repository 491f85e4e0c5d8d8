// How the runner starts a command line.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tqfw {

// A single simple command without anything the shell would interpret (no
// pipes, lists, quoting, expansions, redirections, comments or assignments;
// at most a trailing line break), whose first word is a program as
// `isProgram` says: its words, split at blanks and tabs, exactly as
// "/bin/sh -c" would split them.  The runner starts such a command directly,
// sparing a shell per command; for any other line it returns false and the
// runner hands the line to "/bin/sh -c".
bool SimpleCommandWords(const std::string& command,
                        const std::function<bool(const std::string& word)>& isProgram,
                        std::vector<std::string>* words);

// The executable file that `word` names: the word itself when it holds a
// '/', else the first match in the runner's PATH
// (/usr/sbin:/usr/bin:/sbin:/bin).  Empty when there is none.
std::string ProgramPath(const std::string& word);

}  // namespace tqfw
