// Keeps the caps true: remembers each group's cap in the store, forgets it
// with the group, and applies every remembered cap again (re-creating a
// missing group) when tqd starts or the number of processors changes.
#pragma once

#include <string>

namespace TqRcgCtrllr {
namespace detail {

// Records `percent` for the group in one locked read-modify-write; a store
// that cannot be written is logged.
void RememberCap(const std::string& name, unsigned int percent);
// Drops the group's entry the same way.
void ForgetCap(const std::string& name);

// Applies every remembered cap again through the hierarchy in use.  With
// `change` null (a start) each action is one INFO line; otherwise one INFO
// line holds `change` and every group's old and new quota.  Failures are
// logged and skipped.  Returns the number of failures.
int ReapplyCaps(const char* change);

}  // namespace detail
}  // namespace TqRcgCtrllr
