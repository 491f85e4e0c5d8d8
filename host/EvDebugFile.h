// The event log's file, as one process writes it: one descriptor, held
// from line to line, opened again only when the path changes (the folder
// setting changed) or the file at the path is no longer the one held (it was
// rotated away or removed); and a size cap past which the file is renamed to
// "<path>.1" (replacing the one before) and a new one is begun.  Processes
// that share the file rotate it once between them: each takes the held
// file's lock and renames it only while the path still names it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "host/UniqueFd.h"

namespace tqfw {

class EvDebugFile {
public:
    // The first line of a file begun by a rotation, made when it is needed.
    typedef std::function<std::string()> RotationNote;

    // Appends `line` (one whole line) to the file at `path`, first rotating
    // the file when the line would take it past `maxBytes` (0: no cap).
    // False when the file cannot be written.
    bool append(const std::string& path, std::uint64_t maxBytes, const std::string& line,
                const RotationNote& note);

private:
    // Whether the held descriptor is the file that `path` names now.
    bool holds(const std::string& path) const;
    bool open(const std::string& path);
    void rotate(const std::string& path, const RotationNote& note);

    std::mutex m_mutex;
    UniqueFd m_fd;
    std::string m_path;
    dev_t m_device = 0;
    ino_t m_inode = 0;
};

}  // namespace tqfw
