// Telling systemd that tqd is ready: the datagram, and no word where no
// service manager asks for one.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

#include "daemon/TqdNotify.h"
#include "host/UniqueFd.h"
#include "tests/support/TestSupport.h"

namespace {

// A datagram socket bound at `name` ("@..." abstract); its text received.
class NotifyListener {
public:
    explicit NotifyListener(const std::string& name) : m_fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name.data(), name.size());
        if (name[0] == '@') address.sun_path[0] = '\0';
        bind(m_fd.get(), reinterpret_cast<sockaddr*>(&address),
             static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size()));
    }
    std::string receive() {
        char buffer[64] = {};
        const ssize_t got = recv(m_fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
        return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : "";
    }

private:
    UniqueFd m_fd;
};

TEST(TqdNotify, SaysReadyToTheSocketSystemdNamesAndNothingElsewhere) {
    std::string problem;
    {
        tqtest::EnvGuard none("NOTIFY_SOCKET", nullptr);
        EXPECT_TRUE(tqd::NotifyReady(&problem)) << problem;
    }
    tqtest::TempStore folder;
    for (const std::string& name : {folder.dir() + "/notify", "@tqtest_notify_" + std::to_string(getpid())}) {
        NotifyListener listener(name);
        tqtest::EnvGuard socketName("NOTIFY_SOCKET", name.c_str());
        EXPECT_TRUE(tqd::NotifyReady(&problem)) << problem;
        EXPECT_EQ("READY=1", listener.receive()) << name;
    }
    tqtest::EnvGuard missing("NOTIFY_SOCKET", (folder.dir() + "/nobody").c_str());
    EXPECT_FALSE(tqd::NotifyReady(&problem));
    EXPECT_NE(std::string::npos, problem.find("ready")) << problem;
    tqtest::EnvGuard bad("NOTIFY_SOCKET", "relative");
    EXPECT_FALSE(tqd::NotifyReady(&problem));
}

}  // namespace
