// A connected stream socket of the platform framework.  A CQiSocket is a plain
// handle that is copied by value; it never closes its descriptor by itself:
// whoever owns the connection calls Close().  Nothing here raises SIGPIPE.
#pragma once

#include <cstddef>

#include "CQiError.h"

class CQiSocket {
public:
    explicit CQiSocket(int fd = -1) : m_fd(fd) {}

    bool IsValid() const { return m_fd != -1; }
    int Descriptor() const { return m_fd; }

    // Sends `length` bytes within `timeoutSeconds`.  When time runs out
    // *timedOut becomes non-zero and the call returns (success, with fewer
    // bytes sent).  `flags` must be 0.  `sent`, when not null, receives the
    // number of bytes sent.  A socket error is returned as an error.
    CQiError SendWithTimeOut(const void* buffer, std::size_t length, int timeoutSeconds, int* timedOut,
                             int flags, std::size_t* sent);
    // Receives until `length` bytes have come, the peer has ended sending, or
    // `timeoutSeconds` have passed (then *timedOut becomes non-zero).
    // `received`, when not null, receives the number of bytes that came.
    CQiError RecvWithTimeout(void* buffer, std::size_t length, int timeoutSeconds, int* timedOut,
                             int flags, std::size_t* received);
    // shutdown(2): 0 receiving, 1 sending, 2 both.
    CQiError Shutdown(int how);
    // Closes the descriptor; the handle becomes invalid.
    CQiError Close();

private:
    int m_fd;  // first member: -1 means no connection
};
