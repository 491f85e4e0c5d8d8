// The server of tqd in this process, with handlers of the test's own: the
// worker pool that silent clients cannot hold, the bounds on connections and
// queued requests, the shares of the refused and the other users, refused
// peers, handler exceptions, port conflicts and the drain on stop.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "daemon/TqdPeer.h"
#include "daemon/TqdServer.h"
#include "service/TqRcgProtocol.h"
#include "tests/daemon/RecordingEvents.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace tqd;
using tqdtest::RecordingEvents;

std::uint16_t PortOf(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

std::vector<unsigned char> ValidFrame(unsigned char fill) {
    std::vector<unsigned char> frame(kTqRcgFrameSize, fill);
    const std::uint32_t words[4] = {htonl(368), 0, 0, htonl(0xEAFF)};
    std::memcpy(frame.data(), words, sizeof(words));
    return frame;
}

int Connect(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// All the bytes until the server closes, or what came within `seconds`.
std::string ReadToEnd(int fd, double seconds, bool* ended = nullptr) {
    std::string bytes;
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    if (ended) *ended = false;
    for (;;) {
        const int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (left <= 0) break;
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, left) <= 0) continue;
        char buffer[4096];
        const ssize_t count = recv(fd, buffer, sizeof(buffer), 0);
        if (count <= 0) {
            if (ended) *ended = true;
            break;
        }
        bytes.append(buffer, static_cast<std::size_t>(count));
    }
    return bytes;
}

// A server on an ephemeral loopback port, accepting on a thread of its own
// until the test ends.
class RunningServer {
public:
    RunningServer(ServeContext context, unsigned workers, std::size_t queueLimit = kQueueLimit,
                  std::size_t pendingLimit = kPendingLimit) {
        std::vector<Listener> listeners;
        std::vector<std::string> skipped;
        std::string problem;
        if (!OpenListeners({"127.0.0.1"}, 0, &listeners, &skipped, &problem)) {
            throw std::runtime_error(problem);
        }
        port = PortOf(listeners.front().fd.get());
        if (pipe2(m_stop, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        server.reset(new Server(std::move(listeners), std::move(context), workers, queueLimit, pendingLimit));
        m_acceptor = std::thread([this] { server->acceptUntil(m_stop[0]); });
    }
    void stopAccepting() {
        if (!m_acceptor.joinable()) return;
        const char byte = 's';
        if (write(m_stop[1], &byte, 1) != 1) return;
        m_acceptor.join();
    }
    ~RunningServer() {
        stopAccepting();
        server->drain(std::chrono::seconds(10));
        server.reset();
        close(m_stop[0]);
        close(m_stop[1]);
    }

    std::uint16_t port = 0;
    std::unique_ptr<Server> server;

private:
    int m_stop[2] = {-1, -1};
    std::thread m_acceptor;
};

// A handler that answers with the frame's last byte and counts its calls.
struct EchoHandler {
    std::shared_ptr<std::atomic<int>> calls = std::make_shared<std::atomic<int>>(0);
    RequestHandler function() const {
        auto counter = calls;
        return [counter](CQiSocket socket, void* frame) {
            ++*counter;
            const unsigned char last = static_cast<unsigned char*>(frame)[kTqRcgFrameSize - 1];
            const TqRcgReply reply = MakeRcgReply(std::string("got ") + std::to_string(last));
            int timedOut = 0;
            socket.SendWithTimeOut(reply.data(), reply.size(), 15, &timedOut, 0, nullptr);
            socket.Shutdown(1);
        };
    }
};

std::string Ask(std::uint16_t port, const std::vector<unsigned char>& frame, double seconds = 5) {
    const int fd = Connect(port);
    if (fd < 0) return "connect failed";
    send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
    shutdown(fd, SHUT_WR);
    const std::string reply = ReadToEnd(fd, seconds);
    close(fd);
    return reply;
}

TEST(TqdServer, ServesEachConnectionThroughTheHandlerAndClosesIt) {
    tqtest::TempStore store;
    EchoHandler handler;
    ServeContext context;
    context.handler = handler.function();
    RunningServer running(context, 4);
    for (unsigned char fill : {1, 2, 3}) {
        const std::string reply = Ask(running.port, ValidFrame(fill));
        ASSERT_EQ(reply.size(), 1024u);
        EXPECT_EQ(std::string(reply.c_str()), "got " + std::to_string(fill));
    }
    EXPECT_EQ(handler.calls->load(), 3);
}

TEST(TqdServer, RefusedPeerGetsTheDenialAndTheHandlerIsNotCalled) {
    tqtest::TempStore store;
    EchoHandler handler;
    RecordingEvents events;
    ServeContext context;
    context.handler = handler.function();
    context.events = &events;
    context.identifyPeer = [](int) {
        PeerIdentity nobody;
        nobody.known = true;
        nobody.uid = 65534;
        nobody.denial = DeniedUidMessage(65534);
        return nobody;
    };
    RunningServer running(context, 2);
    const std::string reply = Ask(running.port, ValidFrame(1));
    ASSERT_EQ(reply.size(), 1024u);
    EXPECT_EQ(
        std::string(reply.c_str()),
        "[Win32 error 5] Access denied: tqd serves root and the uids listed in Session/sTQDALLOWEDUIDS; "
        "uid 65534 is not allowed.");
    EXPECT_EQ(handler.calls->load(), 0);
    running.stopAccepting();
    running.server->drain(std::chrono::seconds(5));
    const std::vector<RecordingEvents::Told> told = events.told();
    ASSERT_EQ(1u, told.size());
    EXPECT_TRUE(told[0].peerRefused);
    EXPECT_EQ(65534u, told[0].refusal.uid);
    EXPECT_EQ(DeniedUidMessage(65534), told[0].refusal.why);
    EXPECT_TRUE(told[0].refusal.logged);
}

TEST(TqdServer, HandlerExceptionIsLoggedAndServingGoesOn) {
    tqtest::TempStore store;
    auto first = std::make_shared<std::atomic<bool>>(true);
    EchoHandler echo;
    ServeContext context;
    const RequestHandler answer = echo.function();
    context.handler = [first, answer](CQiSocket socket, void* frame) {
        if (first->exchange(false)) throw std::runtime_error("boom");
        answer(socket, frame);
    };
    RunningServer running(context, 1);
    bool ended = false;
    const int fd = Connect(running.port);
    const std::vector<unsigned char> frame = ValidFrame(9);
    send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
    EXPECT_EQ(ReadToEnd(fd, 5, &ended), "");
    EXPECT_TRUE(ended);  // closed without a reply
    close(fd);
    EXPECT_EQ(std::string(Ask(running.port, ValidFrame(4)).c_str()), "got 4");
    EXPECT_NE(store.log().find("the request handler failed for 127.0.0.1:"), std::string::npos);
    EXPECT_NE(store.log().find(": boom"), std::string::npos);
}

// A handler that holds each call until the test opens the gate, then echoes.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    int entered = 0;
    bool open = false;

    RequestHandler handler(const RequestHandler& answer) {
        return [this, answer](CQiSocket socket, void* frame) {
            {
                std::unique_lock<std::mutex> lock(mutex);
                ++entered;
                changed.notify_all();
                changed.wait(lock, [this] { return open; });
            }
            answer(socket, frame);
        };
    }
    bool waitEntered(int count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(30), [&] { return entered >= count; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        changed.notify_all();
    }
};

bool WaitInFlight(const Server& server, std::size_t count) {
    const auto start = Clock::now();
    while (server.inFlight() != count) {
        if (Clock::now() - start > std::chrono::seconds(30)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(TqdServer, SilentClientsHoldNoWorker) {
    tqtest::TempStore store;
    EchoHandler handler;
    ServeContext context;
    context.handler = handler.function();
    RunningServer running(context, 1);
    std::vector<int> silent;
    for (int index = 0; index < 3; ++index) silent.push_back(Connect(running.port));
    ASSERT_TRUE(WaitInFlight(*running.server, 3));

    EXPECT_EQ(std::string(Ask(running.port, ValidFrame(6)).c_str()), "got 6");
    // Answered while the silent ones are still waited for.
    for (int fd : silent) {
        bool ended = true;
        EXPECT_EQ(ReadToEnd(fd, 0.05, &ended), "");
        EXPECT_FALSE(ended);
        close(fd);
    }
}

TEST(TqdServer, FullQueueClosesTheNewestRequestAndKeepsTheOthers) {
    tqtest::TempStore store;
    EchoHandler echo;
    auto gate = std::make_shared<Gate>();
    ServeContext context;
    context.handler = gate->handler(echo.function());
    RunningServer running(context, 1, 1);

    // The one worker is held by the first request; one more may wait.
    const std::vector<unsigned char> frame = ValidFrame(5);
    const int running1 = Connect(running.port);
    send(running1, frame.data(), frame.size(), MSG_NOSIGNAL);
    ASSERT_TRUE(gate->waitEntered(1));
    const int queued = Connect(running.port);
    send(queued, frame.data(), frame.size(), MSG_NOSIGNAL);
    ASSERT_TRUE(WaitInFlight(*running.server, 2));
    const int third = Connect(running.port);
    send(third, frame.data(), frame.size(), MSG_NOSIGNAL);

    // Closed while the first request still holds the worker.
    bool ended = false;
    EXPECT_EQ(ReadToEnd(third, 30, &ended), "");
    EXPECT_TRUE(ended);
    gate->release();
    EXPECT_EQ(std::string(ReadToEnd(running1, 5).c_str()), "got 5");
    EXPECT_EQ(std::string(ReadToEnd(queued, 5).c_str()), "got 5");
    for (int fd : {running1, queued, third}) close(fd);
    EXPECT_EQ(echo.calls->load(), 2);
    EXPECT_NE(store.log().find("ERROR tqd too many connections waiting for a worker (1): closing the "
                               "connection from 127.0.0.1:"),
              std::string::npos)
        << store.log();
}

TEST(TqdServer, TooManyConnectionsSendingTheirFrameClosesTheNewest) {
    tqtest::TempStore store;
    EchoHandler handler;
    ServeContext context;
    context.handler = handler.function();
    RunningServer running(context, 2, kQueueLimit, 2);
    const int first = Connect(running.port);
    const int second = Connect(running.port);
    ASSERT_TRUE(WaitInFlight(*running.server, 2));
    const int third = Connect(running.port);
    bool ended = false;
    EXPECT_EQ(ReadToEnd(third, 5, &ended), "");
    EXPECT_TRUE(ended);
    EXPECT_NE(store.log().find("ERROR tqd too many connections sending their request (2): closing the "
                               "connection from 127.0.0.1:"),
              std::string::npos)
        << store.log();
    // One of the two sends its frame and is served; then there is room again.
    const std::vector<unsigned char> frame = ValidFrame(3);
    send(first, frame.data(), frame.size(), MSG_NOSIGNAL);
    EXPECT_EQ(std::string(ReadToEnd(first, 5).c_str()), "got 3");
    EXPECT_EQ(std::string(Ask(running.port, ValidFrame(4)).c_str()), "got 4");
    for (int fd : {first, second, third}) close(fd);
}

TEST(TqdServer, StopClosesConnectionsThatSentNothingAndFinishesFramesBegun) {
    tqtest::TempStore store;
    EchoHandler handler;
    ServeContext context;
    context.handler = handler.function();
    RunningServer running(context, 2);
    const int idle = Connect(running.port);
    const int begun = Connect(running.port);
    const std::vector<unsigned char> frame = ValidFrame(2);
    send(begun, frame.data(), 100, MSG_NOSIGNAL);
    ASSERT_TRUE(WaitInFlight(*running.server, 2));

    running.stopAccepting();
    EXPECT_EQ(running.server->inFlight(), 1u);
    bool ended = false;
    EXPECT_EQ(ReadToEnd(idle, 1, &ended), "");
    EXPECT_TRUE(ended);
    std::thread rest([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        send(begun, frame.data() + 100, frame.size() - 100, MSG_NOSIGNAL);
    });
    EXPECT_TRUE(running.server->drain(std::chrono::seconds(5)));
    rest.join();
    EXPECT_EQ(std::string(ReadToEnd(begun, 1).c_str()), "got 2");
    EXPECT_EQ(running.server->inFlight(), 0u);
    for (int fd : {idle, begun}) close(fd);
    EXPECT_NE(store.log().find("INFO tqd closing the connection from 127.0.0.1:"), std::string::npos)
        << store.log();
}

TEST(TqdServer, DrainCutsFramesStillIncompleteAtItsLimit) {
    tqtest::TempStore store;
    EchoHandler handler;
    ServeContext context;
    context.handler = handler.function();
    RunningServer running(context, 1);
    const int begun = Connect(running.port);
    send(begun, "x", 1, MSG_NOSIGNAL);
    ASSERT_TRUE(WaitInFlight(*running.server, 1));
    running.stopAccepting();
    EXPECT_TRUE(running.server->drain(std::chrono::milliseconds(200)));
    bool ended = false;
    EXPECT_EQ(ReadToEnd(begun, 1, &ended), "");
    EXPECT_TRUE(ended);
    close(begun);
    EXPECT_EQ(handler.calls->load(), 0);
    EXPECT_NE(store.log().find(
                  "without a reply: tqd stopped before the request was complete (1 of 368 bytes)"),
              std::string::npos)
        << store.log();
}

TEST(TqdServer, DrainLetsRequestsInFlightFinish) {
    tqtest::TempStore store;
    auto entered = std::make_shared<std::atomic<bool>>(false);
    EchoHandler echo;
    const RequestHandler answer = echo.function();
    ServeContext context;
    context.handler = [entered, answer](CQiSocket socket, void* frame) {
        *entered = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        answer(socket, frame);
    };
    RunningServer running(context, 2);
    const int fd = Connect(running.port);
    const std::vector<unsigned char> frame = ValidFrame(8);
    send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
    while (!*entered) std::this_thread::sleep_for(std::chrono::milliseconds(5));

    running.stopAccepting();
    EXPECT_EQ(running.server->inFlight(), 1u);
    EXPECT_EQ(Connect(running.port), -1);  // no longer listening
    EXPECT_TRUE(running.server->drain(std::chrono::seconds(5)));
    EXPECT_EQ(std::string(ReadToEnd(fd, 1).c_str()), "got 8");
    close(fd);
}

TEST(TqdServer, DrainGivesUpOnRequestsThatOutlastTheLimit) {
    tqtest::TempStore store;
    ServeContext context;
    // Touches nothing of the test: it may outlive it.
    context.handler = [](CQiSocket, void*) { std::this_thread::sleep_for(std::chrono::milliseconds(800)); };
    RunningServer running(context, 1);
    const int fd = Connect(running.port);
    const std::vector<unsigned char> frame = ValidFrame(8);
    send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    running.stopAccepting();
    // False: it gave up before the handler's 800 ms were over.
    EXPECT_FALSE(running.server->drain(std::chrono::milliseconds(200)));
    close(fd);
}

// Identifies every peer as uid 65534, which is refused, while `nobody` is
// set, and as root otherwise.
PeerIdentify NobodyWhile(std::shared_ptr<std::atomic<bool>> nobody) {
    return [nobody](int) {
        PeerIdentity peer;
        peer.known = true;
        peer.served = !*nobody;
        peer.uid = *nobody ? 65534 : 0;
        if (*nobody) peer.denial = DeniedUidMessage(65534);
        return peer;
    };
}

TEST(TqdServer, RefusedUserHoldsOnlyItsOwnFewSlotsAndRootIsServed) {
    tqtest::TempStore store;
    EchoHandler handler;
    RecordingEvents events;
    ServeContext context;
    context.handler = handler.function();
    context.events = &events;
    auto nobody = std::make_shared<std::atomic<bool>>(true);
    context.identifyPeer = NobodyWhile(nobody);
    RunningServer running(context, 2);
    // 16 of 1,024 slots are the refused uid's; the rest of its connections
    // are closed at once.
    std::vector<int> silent;
    for (int index = 0; index < 40; ++index) silent.push_back(Connect(running.port));
    const Clock::time_point connected = Clock::now();
    // Those over its share are closed at once, with a line that says why;
    // the 16 in its share are told apart at the end by the rule that cuts them.
    const std::string atOnce =
        "ERROR tqd uid 65534 holds its share of 16 connections sending their request: closing the connection "
        "from 127.0.0.1:";
    // Every one is taken in before root asks: 24 or more have ended.
    std::size_t ended = 0;
    for (const auto start = Clock::now(); ended < 24 && SecondsSince(start) < 30;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ended = 0;
        for (int fd : silent) {
            char byte;
            ended += recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK) == 0 ? 1 : 0;
        }
    }
    EXPECT_GE(ended, 24u);
    EXPECT_NE(store.log().find(atOnce), std::string::npos) << store.log();

    // Root is served while they wait.
    *nobody = false;
    EXPECT_EQ(std::string(Ask(running.port, ValidFrame(2)).c_str()), "got 2");

    // Its slots run low, so its silent connections go after 2 seconds, not
    // after 15.
    for (int fd : silent) {
        bool ended = false;
        EXPECT_EQ(ReadToEnd(fd, 30, &ended), "");
        EXPECT_TRUE(ended);
        close(fd);
    }
    // Not before the 2 seconds; the refusals below name the rule that cut them.
    EXPECT_GE(SecondsSince(connected), 1.9);
    EXPECT_TRUE(WaitInFlight(*running.server, 0));
    std::size_t silent16 = 0;
    for (const RecordingEvents::Told& told : events.told()) {
        if (told.refusal.why == "nothing sent within 2 seconds while connections sending their request are many")
            ++silent16;
    }
    // All 40 ended: 16 by the rule of the silent ones, so 24 at once.
    EXPECT_EQ(16u, silent16);
}

// A refused peer is answered by the reading thread: it neither waits for a
// worker nor takes a place in the queue, even when every worker is busy and
// the queue is full.
TEST(TqdServer, RefusedPeersAreAnsweredWithoutWaitingForAWorker) {
    tqtest::TempStore store;
    EchoHandler echo;
    auto gate = std::make_shared<Gate>();
    auto nobody = std::make_shared<std::atomic<bool>>(false);
    ServeContext context;
    context.handler = gate->handler(echo.function());
    context.identifyPeer = NobodyWhile(nobody);
    RunningServer running(context, 1, 1);
    const std::vector<unsigned char> frame = ValidFrame(5);
    const int busy = Connect(running.port);
    send(busy, frame.data(), frame.size(), MSG_NOSIGNAL);
    ASSERT_TRUE(gate->waitEntered(1));
    const int queued = Connect(running.port);
    send(queued, frame.data(), frame.size(), MSG_NOSIGNAL);
    ASSERT_TRUE(WaitInFlight(*running.server, 2));

    *nobody = true;
    for (int peer = 0; peer < 3; ++peer) {
        EXPECT_EQ(AccessDeniedText(DeniedUidMessage(65534)), std::string(Ask(running.port, ValidFrame(1)).c_str()))
            << peer;
    }
    EXPECT_TRUE(WaitInFlight(*running.server, 2));
    gate->release();
    EXPECT_EQ(std::string(ReadToEnd(busy, 5).c_str()), "got 5");
    EXPECT_EQ(std::string(ReadToEnd(queued, 5).c_str()), "got 5");
    for (int fd : {busy, queued}) close(fd);
    EXPECT_EQ(echo.calls->load(), 2);
}

// Identifies each peer as the uid the test last set.
PeerIdentify AsUid(std::shared_ptr<std::atomic<uid_t>> uid) {
    return [uid](int) {
        PeerIdentity peer;
        peer.known = peer.served = true;
        peer.uid = *uid;
        return peer;
    };
}

// An allowed uid keeping every worker busy does not make root wait: the
// last free worker is root's, and root's requests go before its.
TEST(TqdServer, AnAllowedUidWithManyRequestsDoesNotMakeRootWait) {
    tqtest::TempStore store;
    EchoHandler echo;
    auto gate = std::make_shared<Gate>();
    const RequestHandler held = gate->handler(echo.function());
    const RequestHandler answer = echo.function();
    ServeContext context;
    // The allowed uid's frames (filled with 1) are held until the gate opens.
    context.handler = [held, answer](CQiSocket socket, void* frame) {
        (static_cast<unsigned char*>(frame)[kTqRcgFrameSize - 1] == 1 ? held : answer)(socket, frame);
    };
    auto uid = std::make_shared<std::atomic<uid_t>>(1000);
    context.identifyPeer = AsUid(uid);
    RunningServer running(context, 2);
    const std::vector<unsigned char> frame = ValidFrame(1);
    std::vector<int> allowed;
    for (int index = 0; index < 6; ++index) {
        allowed.push_back(Connect(running.port));
        send(allowed.back(), frame.data(), frame.size(), MSG_NOSIGNAL);
    }
    ASSERT_TRUE(gate->waitEntered(1));
    ASSERT_TRUE(WaitInFlight(*running.server, 6));
    *uid = 0;
    EXPECT_EQ("got 2", std::string(Ask(running.port, ValidFrame(2)).c_str()));
    {
        std::lock_guard<std::mutex> lock(gate->mutex);
        EXPECT_EQ(1, gate->entered) << "the allowed uid's requests took one worker only";
    }
    gate->release();
    for (int fd : allowed) {
        EXPECT_EQ("got 1", std::string(ReadToEnd(fd, 5).c_str()));
        close(fd);
    }
}

TEST(TqdServer, RefusedPeerWithinItsBudgetStillGetsTheDenial) {
    tqtest::TempStore store;
    EchoHandler handler;
    ServeContext context;
    context.handler = handler.function();
    context.identifyPeer = NobodyWhile(std::make_shared<std::atomic<bool>>(true));
    RunningServer running(context, 2);
    std::vector<int> silent;
    for (int index = 0; index < 15; ++index) silent.push_back(Connect(running.port));
    ASSERT_TRUE(WaitInFlight(*running.server, 15));
    // The sixteenth slot: its frame is read and answered with the denial.
    const std::string reply = Ask(running.port, ValidFrame(1));
    EXPECT_EQ(std::string(reply.c_str()), AccessDeniedText(DeniedUidMessage(65534)));
    EXPECT_EQ(handler.calls->load(), 0);
    for (int fd : silent) close(fd);
}

// Root's silent connections are kept while slots are many, and cut once
// they run low.
TEST(TqdServer, SilentConnectionsOfRootAreKeptWhileSlotsAreMany) {
    tqtest::TempStore store;
    EchoHandler handler;
    ServeContext context;
    context.handler = handler.function();
    RunningServer running(context, 2, kQueueLimit, 8);
    std::vector<int> silent;
    for (int index = 0; index < 4; ++index) silent.push_back(Connect(running.port));
    ASSERT_TRUE(WaitInFlight(*running.server, 4));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(running.server->inFlight(), 4u);  // 4 of 8: not yet low
    silent.push_back(Connect(running.port));
    // Now 5 of 8: the four that stayed silent past 2 seconds go.
    EXPECT_TRUE(WaitInFlight(*running.server, 1));
    for (int fd : silent) close(fd);
}

TEST(TqdListeners, TheBacklogHoldsWhatTqdMayHoldAndACapBelowItIsSaid) {
    EXPECT_EQ(SOMAXCONN, ListenBacklog(0));
    EXPECT_EQ(SOMAXCONN, ListenBacklog(2064));
    EXPECT_EQ(10000, ListenBacklog(10000));
    tqtest::TempStore store;
    const std::string cap = store.dir() + "/somaxconn";
    tqtest::WriteFile(cap, "128\n");
    EXPECT_EQ(128, BacklogCap(cap));
    EXPECT_EQ(-1, BacklogCap(store.dir() + "/missing"));
    EXPECT_EQ("", BacklogCapLine(4096, 2064));
    EXPECT_EQ("", BacklogCapLine(-1, 2064)) << "unknown: nothing said";
    const std::string line = BacklogCapLine(128, 2064);
    EXPECT_NE(std::string::npos, line.find("net.core.somaxconn (128)")) << line;
    EXPECT_NE(std::string::npos, line.find("sysctl -w net.core.somaxconn=2064")) << line;
}

TEST(TqdListeners, PortInUseNamesThePortAndTheRemedy) {
    std::vector<Listener> first, second;
    std::vector<std::string> skipped;
    std::string problem;
    ASSERT_TRUE(OpenListeners({"127.0.0.1"}, 0, &first, &skipped, &problem)) << problem;
    const std::uint16_t port = PortOf(first.front().fd.get());
    EXPECT_EQ(first.front().address, "127.0.0.1:" + std::to_string(port));
    EXPECT_FALSE(OpenListeners({"127.0.0.1"}, port, &second, &skipped, &problem));
    EXPECT_EQ(problem,
              "port " + std::to_string(port) +
                  " on 127.0.0.1 is in use: is tqd already running? Stop it (service tqd stop) or choose "
                  "another port with --port or the Session/nTQDPORT value of the configuration store.");
    EXPECT_TRUE(second.empty());
}

}  // namespace
