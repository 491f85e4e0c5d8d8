// The metrics file of tqd (TqdMetrics.h for its text): written whole under
// a temporary name that no one can guess or plant anything at, then renamed
// into place, on a thread of its own that never holds up tqd's stop.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "daemon/TqdMetrics.h"

namespace tqd {

// Writes `text` to <folder>/<name> atomically: into a new file of the folder
// under a random name (".<name>.<16 hex digits>.tmp", created exclusively,
// never through a link, never opening a FIFO or device that is there),
// flushed, then renamed over the old file.  False with the reason.
bool WriteFileAtomically(const std::string& folder, const std::string& name, const std::string& text,
                         std::string* problem);

// Whether `folder` exists as a folder.
bool FolderExists(const std::string& folder);

// The start's line about the metrics file: where and how often, and when its
// folder does not exist yet, that it is written once the folder is made.
std::string MetricsFileLine(const MetricsSettings& settings, bool folderExists);

// Writes the file now and then every interval on a thread of its own, until
// it goes; does nothing when the folder is empty.  While the folder does not
// exist nothing is written and nothing is logged (the start said so once);
// any other failure is logged once until a write succeeds again.  When it
// goes it waits for the thread at most `stopWait`, then leaves it to the
// process's exit.
class MetricsWriter {
public:
    MetricsWriter(MetricsSettings settings, std::shared_ptr<const RequestStats> stats,
                  std::chrono::milliseconds stopWait = std::chrono::seconds(1));
    ~MetricsWriter();
    MetricsWriter(const MetricsWriter&) = delete;
    MetricsWriter& operator=(const MetricsWriter&) = delete;

    // What the writing thread shares with the writer; it outlives the writer
    // when the thread is left running.
    struct State;

private:
    std::shared_ptr<State> m_state;
    std::chrono::milliseconds m_stopWait;
    std::thread m_thread;
};

}  // namespace tqd
