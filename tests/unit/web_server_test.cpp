// The web server's thread: it goes with the server, however early.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "webserver.h"

namespace {

// A loopback port that was free a moment ago.
int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

// Stopped right after its start, before its thread has begun to listen: the
// server still goes, rather than its thread serving on and never being joined.
TEST(WebServer, GoesWhenStoppedBeforeItListens) {
    for (int i = 0; i < 20; ++i) {
        CWebServer server;
        server.m_policy.bind_address = "127.0.0.1";
        ASSERT_EQ(server.StartSocetServers(std::to_string(FreePort()).c_str()), 0);
    }
}

}  // namespace
