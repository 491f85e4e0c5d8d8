// CQiSocket: deadlines over whole sends and receives, partial counts, peer
// ends, errors without SIGPIPE, shutdown and close.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "host/CQiSocket.h"
#include "host/UniqueCQiSocket.h"
#include "tests/support/TestSupport.h"

namespace {

using tqtest::FillConnection;
using tqtest::SocketPair;

typedef std::chrono::steady_clock Clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(CQiSocketRecv, ReturnsOnceTheWholeLengthHasCome) {
    SocketPair pair;
    ASSERT_EQ(send(pair.theirs, "0123456789abc", 13, 0), 13);
    CQiSocket socket(pair.ours);
    char buffer[10];
    int timedOut = 0;
    std::size_t received = 99;
    EXPECT_FALSE(socket.RecvWithTimeout(buffer, sizeof(buffer), 5, &timedOut, 0, &received).IsError());
    EXPECT_EQ(received, 10u);
    EXPECT_EQ(timedOut, 0);
    EXPECT_EQ(std::string(buffer, 10), "0123456789");
}

TEST(CQiSocketRecv, CollectsPiecesThatArriveOverTime) {
    SocketPair pair;
    std::thread writer([&] {
        for (const char* piece : {"abc", "def", "ghi"}) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            send(pair.theirs, piece, 3, 0);
        }
    });
    CQiSocket socket(pair.ours);
    char buffer[9];
    int timedOut = 0;
    std::size_t received = 0;
    EXPECT_FALSE(socket.RecvWithTimeout(buffer, sizeof(buffer), 5, &timedOut, 0, &received).IsError());
    writer.join();
    EXPECT_EQ(std::string(buffer, received), "abcdefghi");
    EXPECT_EQ(timedOut, 0);
}

TEST(CQiSocketRecv, StopsWhenThePeerEndsSending) {
    SocketPair pair;
    ASSERT_EQ(send(pair.theirs, "abc", 3, 0), 3);
    shutdown(pair.theirs, SHUT_WR);
    CQiSocket socket(pair.ours);
    char buffer[1024];
    int timedOut = 0;
    std::size_t received = 0;
    const auto start = Clock::now();
    EXPECT_FALSE(socket.RecvWithTimeout(buffer, sizeof(buffer), 5, &timedOut, 0, &received).IsError());
    std::printf("ended %.3f s after the call began\n", SecondsSince(start));
    EXPECT_EQ(received, 3u);
    EXPECT_EQ(timedOut, 0);  // the end of sending ended it, not the limit
}

TEST(CQiSocketRecv, TimeLimitCoversTheWholeCallAndKeepsThePartialCount) {
    SocketPair pair;
    // A trickle that never completes the length: a per-read limit would
    // never end; the whole call still ends after its one second.
    std::thread writer([&] {
        for (int piece = 0; piece < 15; ++piece) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            send(pair.theirs, "x", 1, MSG_NOSIGNAL);
        }
    });
    CQiSocket socket(pair.ours);
    char buffer[100];
    int timedOut = 0;
    std::size_t received = 0;
    const auto start = Clock::now();
    EXPECT_FALSE(socket.RecvWithTimeout(buffer, sizeof(buffer), 1, &timedOut, 0, &received).IsError());
    const double seconds = SecondsSince(start);
    writer.join();
    EXPECT_GE(seconds, 0.95);  // not before its time; load may only make it later
    EXPECT_EQ(timedOut, 1);
    EXPECT_LT(received, 15u);  // ended while the trickle went on
}

TEST(CQiSocketRecv, TakesDataAlreadyThereEvenWithoutTime) {
    SocketPair pair;
    ASSERT_EQ(send(pair.theirs, "abc", 3, 0), 3);
    CQiSocket socket(pair.ours);
    char buffer[3];
    int timedOut = 0;
    std::size_t received = 0;
    EXPECT_FALSE(socket.RecvWithTimeout(buffer, sizeof(buffer), 0, &timedOut, 0, &received).IsError());
    EXPECT_EQ(received, 3u);
    EXPECT_EQ(timedOut, 0);
}

TEST(CQiSocketSend, SendsEverythingAndCountsIt) {
    SocketPair pair;
    CQiSocket socket(pair.ours);
    const std::vector<char> data(100000, 'd');
    std::string got;
    std::thread reader([&] {
        char buffer[8192];
        ssize_t count;
        while ((count = recv(pair.theirs, buffer, sizeof(buffer), 0)) > 0) got.append(buffer, count);
    });
    int timedOut = 0;
    std::size_t sent = 0;
    EXPECT_FALSE(socket.SendWithTimeOut(data.data(), data.size(), 5, &timedOut, 0, &sent).IsError());
    EXPECT_FALSE(socket.Shutdown(1).IsError());
    reader.join();
    EXPECT_EQ(sent, data.size());
    EXPECT_EQ(timedOut, 0);
    EXPECT_EQ(got, std::string(data.begin(), data.end()));
}

TEST(CQiSocketSend, TimesOutWithSuccessAndThePartialCountWhenThePeerDoesNotRead) {
    SocketPair pair;
    FillConnection(pair.ours);
    CQiSocket socket(pair.ours);
    const std::vector<char> data(1024, 'r');
    int timedOut = 0;
    std::size_t sent = 99;
    const auto start = Clock::now();
    const CQiError result = socket.SendWithTimeOut(data.data(), data.size(), 1, &timedOut, 0, &sent);
    const double seconds = SecondsSince(start);
    EXPECT_FALSE(result.IsError());
    EXPECT_EQ(timedOut, 1);
    EXPECT_LT(sent, data.size());
    EXPECT_GE(seconds, 0.95);  // not before its time; load may only make it later
}

TEST(CQiSocketSend, ClosedPeerIsAnErrorAndRaisesNoSigpipe) {
    SocketPair pair;
    pair.closeTheirs();
    CQiSocket socket(pair.ours);
    int timedOut = 0;
    const CQiError result = socket.SendWithTimeOut("abc", 3, 5, &timedOut, 0, nullptr);
    // Still here: no SIGPIPE killed the process.
    ASSERT_TRUE(result.IsError());
    EXPECT_EQ(result.Win32Code(), 774u);
    EXPECT_EQ(result.Message(), "send failed: Broken pipe");
    EXPECT_EQ(timedOut, 0);
}

TEST(CQiSocketErrors, InvalidHandleAndBadArgumentsAreErrors) {
    CQiSocket none;
    int timedOut = 0;
    char buffer[4];
    EXPECT_TRUE(none.SendWithTimeOut("abc", 3, 1, &timedOut, 0, nullptr).IsError());
    EXPECT_TRUE(none.RecvWithTimeout(buffer, 4, 1, &timedOut, 0, nullptr).IsError());
    EXPECT_TRUE(none.Shutdown(1).IsError());
    EXPECT_FALSE(none.Close().IsError());

    SocketPair pair;
    CQiSocket socket(pair.ours);
    EXPECT_TRUE(socket.SendWithTimeOut("abc", 3, 1, &timedOut, 1, nullptr).IsError());
    EXPECT_TRUE(socket.Shutdown(3).IsError());
    EXPECT_EQ(socket.RecvWithTimeout(buffer, 4, 0, &timedOut, 0, nullptr).Message(), "");
    EXPECT_EQ(timedOut, 1);
}

TEST(CQiSocketLifetime, ShutdownEndsSendingAndCloseReleasesTheDescriptor) {
    SocketPair pair;
    CQiSocket socket(pair.ours);
    EXPECT_FALSE(socket.Shutdown(1).IsError());
    char byte;
    EXPECT_EQ(recv(pair.theirs, &byte, 1, MSG_DONTWAIT), 0);

    const int fd = pair.ours;
    pair.ours = -1;  // the socket closes it now
    EXPECT_FALSE(socket.Close().IsError());
    EXPECT_FALSE(socket.IsValid());
    EXPECT_EQ(socket.Descriptor(), -1);
    errno = 0;
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
    // A second close does nothing.
    EXPECT_FALSE(socket.Close().IsError());
}

TEST(CQiSocketLifetime, OwnerClosesTheConnectionWhenItGoes) {
    SocketPair pair;
    const int fd = pair.ours;
    pair.ours = -1;  // the owner closes it now
    {
        UniqueCQiSocket owner{CQiSocket(fd)};
        EXPECT_EQ(owner.get().Descriptor(), fd);
        EXPECT_NE(fcntl(fd, F_GETFD), -1);
    }
    errno = 0;
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
    char byte;
    EXPECT_EQ(recv(pair.theirs, &byte, 1, 0), 0) << "the peer sees the end of the connection";
}

TEST(CQiSocketLifetime, OwnerOfAnInvalidSocketOnlyDropsIt) {
    UniqueCQiSocket owner{CQiSocket()};
    EXPECT_FALSE(owner.get().IsValid());
}

}  // namespace
