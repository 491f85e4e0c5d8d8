// Keeps the caps and settings true: remembers each group's cap and settings
// in the store, forgets them with the group, and applies them all again
// (re-creating a missing group) when tqd starts or the number of processors
// changes.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "RcgProperties.h"

namespace TqRcgCtrllr {
namespace detail {

// Holds one group's kept values still: a request that changes a group's cap
// or settings (or deletes it) holds it while it changes the group and
// remembers the change, and the re-apply holds it for each group, so that a
// re-apply never writes an older value over a newer one.
class GroupChangeLock {
public:
    explicit GroupChangeLock(const std::string& name);
    GroupChangeLock(const GroupChangeLock&) = delete;
    GroupChangeLock& operator=(const GroupChangeLock&) = delete;

private:
    std::lock_guard<std::mutex> m_lock;
};

// Records `percent` for the group in one locked read-modify-write; a store
// that cannot be written is logged.
void RememberCap(const std::string& name, unsigned int percent);
// Records the settings for the group the same way.
void RememberSettings(const std::string& name, const std::vector<RcgSetting>& settings);
// Drops the group's cap and settings the same way.
void ForgetCap(const std::string& name);

// Applies every remembered cap and setting again through the hierarchy in
// use, several groups at a time, each group once.  With `change` null (a
// start) each action is one INFO line; otherwise one INFO line holds `change`
// and every group's old and new quota.  Failures, and caps out of 1 to 100
// percent, are logged and skipped.  A group whose cap or settings a request
// changed meanwhile is left as that request made it.  Returns the number of
// failures.
int ReapplyCaps(const char* change);

}  // namespace detail
}  // namespace TqRcgCtrllr
