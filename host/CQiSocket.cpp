// Stream sockets of the platform framework: sends and receives bounded by a
// deadline over the whole call, never raising SIGPIPE.
#include "CQiSocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <chrono>
#include <cstring>
#include <string>

namespace {

typedef std::chrono::steady_clock Clock;

// Win32 ERROR_ERRORS_ENCOUNTERED: the code of every socket failure.
constexpr std::uint32_t kCQiSocketErrorCode = 774;

const char kSendSignature[] =
    "CQiError CQiSocket::SendWithTimeOut(const void*, std::size_t, int, int*, int, std::size_t*)";
const char kRecvSignature[] =
    "CQiError CQiSocket::RecvWithTimeout(void*, std::size_t, int, int*, int, std::size_t*)";
const char kShutdownSignature[] = "CQiError CQiSocket::Shutdown(int)";
const char kCloseSignature[] = "CQiError CQiSocket::Close()";

std::string ErrnoText(int error) {
    char buffer[256];
    // The GNU strerror_r returns the text, which need not be in `buffer`.
    return strerror_r(error, buffer, sizeof(buffer));
}

CQiError SocketError(const char* function, int line, const char* what, int error) {
    return FXErrorUtil::ErrorWin32(FXCodeLocation{"CQiSocket.cpp", function, line}, kCQiSocketErrorCode,
                                   "%s failed: %s", what, ErrnoText(error).c_str());
}

// Milliseconds left until `deadline`, 0 when it has passed.
int MillisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return 0;
    // Round up so that a wait never ends just before the deadline.
    return static_cast<int>(left.count()) + 1;
}

// Waits until `fd` is ready for `events` or the deadline passes.  Returns 1
// when ready (or in an error state that the next call will report), 0 when
// time is up, -1 with errno on failure.
int WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const int left = MillisecondsLeft(deadline);
        if (left == 0) return 0;
        pollfd entry{fd, events, 0};
        const int ready = poll(&entry, 1, left);
        if (ready > 0) return 1;
        if (ready == 0) {
            if (MillisecondsLeft(deadline) == 0) return 0;
            continue;
        }
        if (errno == EINTR) continue;
        return -1;
    }
}

Clock::time_point DeadlineAfter(int seconds) {
    return Clock::now() + std::chrono::seconds(seconds > 0 ? seconds : 0);
}

}  // namespace

CQiError CQiSocket::SendWithTimeOut(const void* buffer, std::size_t length, int timeoutSeconds, int* timedOut,
                                    int flags, std::size_t* sent) {
    if (sent) *sent = 0;
    if (m_fd < 0) return SocketError(kSendSignature, __LINE__, "send", EBADF);
    if (flags != 0 || (buffer == nullptr && length != 0)) {
        return SocketError(kSendSignature, __LINE__, "send", EINVAL);
    }
    const Clock::time_point deadline = DeadlineAfter(timeoutSeconds);
    const char* bytes = static_cast<const char*>(buffer);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t count = send(m_fd, bytes + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count > 0) {
            done += static_cast<std::size_t>(count);
            if (sent) *sent = done;
            continue;
        }
        if (count < 0 && errno == EINTR) continue;
        if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return SocketError(kSendSignature, __LINE__, "send", errno);
        }
        const int ready = WaitFor(m_fd, POLLOUT, deadline);
        if (ready < 0) return SocketError(kSendSignature, __LINE__, "send", errno);
        if (ready == 0) {
            if (timedOut) *timedOut = 1;
            break;
        }
    }
    return CQiError::Success();
}

CQiError CQiSocket::RecvWithTimeout(void* buffer, std::size_t length, int timeoutSeconds, int* timedOut,
                                    int flags, std::size_t* received) {
    if (received) *received = 0;
    if (m_fd < 0) return SocketError(kRecvSignature, __LINE__, "receive", EBADF);
    if (flags != 0 || (buffer == nullptr && length != 0)) {
        return SocketError(kRecvSignature, __LINE__, "receive", EINVAL);
    }
    const Clock::time_point deadline = DeadlineAfter(timeoutSeconds);
    char* bytes = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t count = recv(m_fd, bytes + done, length - done, MSG_DONTWAIT);
        if (count > 0) {
            done += static_cast<std::size_t>(count);
            if (received) *received = done;
            continue;
        }
        if (count == 0) break;  // the peer has ended sending
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return SocketError(kRecvSignature, __LINE__, "receive", errno);
        }
        const int ready = WaitFor(m_fd, POLLIN, deadline);
        if (ready < 0) return SocketError(kRecvSignature, __LINE__, "receive", errno);
        if (ready == 0) {
            if (timedOut) *timedOut = 1;
            break;
        }
    }
    return CQiError::Success();
}

CQiError CQiSocket::Shutdown(int how) {
    int mode;
    switch (how) {
        case 0:
            mode = SHUT_RD;
            break;
        case 1:
            mode = SHUT_WR;
            break;
        case 2:
            mode = SHUT_RDWR;
            break;
        default:
            return SocketError(kShutdownSignature, __LINE__, "shutdown", EINVAL);
    }
    if (m_fd < 0) return SocketError(kShutdownSignature, __LINE__, "shutdown", EBADF);
    if (shutdown(m_fd, mode) != 0) return SocketError(kShutdownSignature, __LINE__, "shutdown", errno);
    return CQiError::Success();
}

CQiError CQiSocket::Close() {
    if (m_fd < 0) return CQiError::Success();
    const int fd = m_fd;
    m_fd = -1;
    // On Linux the descriptor is released even when close reports EINTR, so
    // it is never closed twice.
    if (close(fd) != 0 && errno != EINTR) return SocketError(kCloseSignature, __LINE__, "close", errno);
    return CQiError::Success();
}
