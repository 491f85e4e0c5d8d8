// tqrcg_bench --history HISTORY_STORE EMPTY_STORE: what the host's history
// costs a request.  Two tqds run side by side, each on a store of its own:
// one whose group list already holds the names of many earlier creations
// (groups long gone), one whose list is empty.  Each round times one create
// and one delete of the group tqbench_<pid> against each, in turns (which
// goes first alternates), and the report gives the medians and their ratio,
// the target being at most 1.2.  The first round, which compacts the long
// list, is shown on its own and not counted.  Works on either hierarchy.
//
// The client functions are pointed at each tqd by setting TQ_CONFIG to its
// store before each request.  The bench deletes its group through both
// daemons when it ends, on every path.
#pragma once

#include <string>

namespace tqbench {

// Measures for about `seconds` (at least two counted rounds); 0 when every
// request succeeded.
int MeasureHistory(const std::string& historyStore, const std::string& emptyStore, double seconds);

}  // namespace tqbench
