#include "daemon/TqdMetricsFile.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "daemon/TqdConfig.h"
#include "host/EvDebug.h"
#include "host/UniqueFd.h"
#include "rcg/RcgRecord.h"

namespace tqd {

namespace {

// 16 hexadecimal digits from the kernel's random source; empty when it
// cannot give them.
std::string RandomWord() {
    unsigned char bytes[8];
    std::size_t got = 0;
    while (got < sizeof(bytes)) {
        const ssize_t count = getrandom(bytes + got, sizeof(bytes) - got, GRND_NONBLOCK);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return std::string();
        got += static_cast<std::size_t>(count);
    }
    static const char kHex[] = "0123456789abcdef";
    std::string word;
    for (unsigned char byte : bytes) {
        word += kHex[byte >> 4];
        word += kHex[byte & 0xf];
    }
    return word;
}

// A new file of `folder` under a random name: *path becomes its path.
UniqueFd CreateTemporary(const std::string& folder, const std::string& name, std::string* path,
                         std::string* problem) {
    // A name taken already (by chance, or by something planted) is tried
    // again under another.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const std::string word = RandomWord();
        if (word.empty()) {
            *problem = std::string("cannot make a temporary name: getrandom: ") + std::strerror(errno);
            return UniqueFd();
        }
        *path = folder + "/." + name + "." + word + ".tmp";
        UniqueFd fd(open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
        if (fd.open() || errno != EEXIST) {
            if (!fd.open()) *problem = "cannot write " + *path + ": " + std::strerror(errno);
            return fd;
        }
    }
    *problem = "cannot write a temporary file in " + folder + ": every name tried exists";
    return UniqueFd();
}

bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        done += static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

bool WriteFileAtomically(const std::string& folder, const std::string& name, const std::string& text,
                         std::string* problem) {
    std::string temporary;
    UniqueFd fd = CreateTemporary(folder, name, &temporary, problem);
    if (!fd.open()) return false;
    if (!WriteAll(fd.get(), text)) {
        *problem = "cannot write " + temporary + ": " + std::strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    fd.reset();
    const std::string path = folder + "/" + name;
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        *problem = "cannot rename " + temporary + " to " + path + ": " + std::strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool FolderExists(const std::string& folder) {
    struct stat st;
    return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string MetricsFileLine(const MetricsSettings& settings, bool folderExists) {
    if (settings.folder.empty()) return std::string("no metrics file: Session/") + kMetricsDirKey + " is empty";
    std::string line = "metrics file " + settings.folder + "/" + kMetricsFileName + " every " +
                       std::to_string(settings.interval.count()) + " s";
    if (folderExists) return line;
    return line + ", once its folder exists: " + settings.folder +
           " does not exist now (the node exporter's package makes it; or name another folder in Session/" +
           kMetricsDirKey + ")";
}

struct MetricsWriter::State {
    State(MetricsSettings made, std::shared_ptr<const RequestStats> counts)
        : settings(std::move(made)), stats(std::move(counts)) {}
    const MetricsSettings settings;
    const std::shared_ptr<const RequestStats> stats;
    std::mutex mutex;
    std::condition_variable wake;
    bool stop = false;
    bool done = false;

    // One write; false with the reason.
    bool writeOnce(std::string* problem) const {
        // Where no group can be, the daemon's figures are still written.
        TqRcgCtrllr::RecordedFigures figures;
        std::string placeProblem;
        TqRcgCtrllr::ReadRecordedFigures(&figures, &placeProblem);
        return WriteFileAtomically(settings.folder, kMetricsFileName,
                                   FormatMetrics(figures.groups, figures.processors, stats->snapshot()), problem);
    }
    void run();
};

void MetricsWriter::State::run() {
    EvDebug log(nullptr);
    bool failing = false;
    std::unique_lock<std::mutex> lock(mutex);
    do {
        lock.unlock();
        std::string problem;
        // A folder that does not exist is waited for without a word.
        const bool tried = FolderExists(settings.folder);
        const bool written = tried && writeOnce(&problem);
        if (tried && !written && !failing) {
            log.Error(kLogTag, "cannot write the metrics file (tried again every %lld s): %s",
                      static_cast<long long>(settings.interval.count()), problem.c_str());
        } else if (written && failing) {
            log.Info(kLogTag, "the metrics file %s/%s is written again", settings.folder.c_str(), kMetricsFileName);
        }
        if (tried) failing = !written;
        lock.lock();
    } while (!wake.wait_for(lock, settings.interval, [this] { return stop; }));
    done = true;
    wake.notify_all();
}

MetricsWriter::MetricsWriter(MetricsSettings settings, std::shared_ptr<const RequestStats> stats,
                             std::chrono::milliseconds stopWait)
    : m_state(std::make_shared<State>(std::move(settings), std::move(stats))), m_stopWait(stopWait) {
    if (m_state->settings.folder.empty()) return;
    std::shared_ptr<State> state = m_state;
    m_thread = std::thread([state] { state->run(); });
}

MetricsWriter::~MetricsWriter() {
    if (!m_thread.joinable()) return;
    std::unique_lock<std::mutex> lock(m_state->mutex);
    m_state->stop = true;
    m_state->wake.notify_all();
    // A write stuck in the filesystem must not keep tqd from stopping.
    if (m_state->wake.wait_for(lock, m_stopWait, [this] { return m_state->done; })) {
        lock.unlock();
        m_thread.join();
        return;
    }
    lock.unlock();
    EvDebug log(nullptr);
    log.Error(kLogTag, "the metrics file %s/%s is still being written after %lld ms: tqd stops without it",
              m_state->settings.folder.c_str(), kMetricsFileName, static_cast<long long>(m_stopWait.count()));
    m_thread.detach();
}

}  // namespace tqd
