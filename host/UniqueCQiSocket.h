// Owns one CQiSocket and ends the connection with CQiSocket::Close() when
// it goes; a socket that is not valid is only dropped.  The CQiSocket
// sibling of UniqueFd, for connections that the framework's socket closes.
#pragma once

#include "CQiSocket.h"

class UniqueCQiSocket {
public:
    explicit UniqueCQiSocket(CQiSocket socket) : m_socket(socket) {}
    ~UniqueCQiSocket() {
        if (m_socket.IsValid()) m_socket.Close();
    }
    UniqueCQiSocket(const UniqueCQiSocket&) = delete;
    UniqueCQiSocket& operator=(const UniqueCQiSocket&) = delete;

    // The connection, to send and receive on; it stays owned here.
    CQiSocket& get() { return m_socket; }

private:
    CQiSocket m_socket;
};
