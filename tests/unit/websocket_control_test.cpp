// The WebSocket server's life on its own thread: serving, closing, serving
// again, and going at once.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "webserver.h"
#include "websocket_control.h"

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

// True once a connection to the port is taken, within 5 s.
bool Accepting(int port) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    for (int i = 0; i < 500; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        const bool taken = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        if (taken) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(WebsocketControl, ServesAgainAfterAClose) {
    WebsocketControl control;
    for (int round = 0; round < 2; ++round) {
        const int port = FreePort();
        std::thread server([&] { control.setupWebsocketServer(std::to_string(port).c_str()); });
        EXPECT_TRUE(Accepting(port)) << "round " << round;
        control.closeWebsocketServer();
        server.join();
    }
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
