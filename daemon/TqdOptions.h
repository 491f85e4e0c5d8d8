// tqd's command line: its options, its help text, and the run it asks for.
#pragma once

namespace tqd {

// Parses tqd's arguments and runs the daemon (or prints the version or the
// help); returns the exit status.
int RunTqd(int argc, char** argv);

}  // namespace tqd
