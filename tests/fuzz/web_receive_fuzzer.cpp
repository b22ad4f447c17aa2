// The server's receive path on raw bytes: a live server on loopback, with a
// scanner open so that messages register their senders, takes one connection
// per input. The first byte chooses whether a valid WebSocket handshake goes
// first (so that frames are reached at all) and whether a scan is broadcast
// while the connection is open; the rest is sent as it is, and the client
// then vanishes. The server must survive everything.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "webserver.h"

namespace {

uint16_t g_port = 0;
CWebServer* g_server = nullptr;

const char kHandshake[] =
    "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";

int Connect() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(g_port);
    int failed = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (failed != 0 && errno == EINTR) {
        // libFuzzer's timer interrupted the call, which can wait a second
        // when the port drawn meets the server's lingering end of an earlier
        // connection. The connection goes on being made; its outcome is the
        // socket's error once writable.
        pollfd writable = {fd, POLLOUT, 0};
        while (poll(&writable, 1, 5000) < 0 && errno == EINTR) {
        }
        socklen_t length = sizeof failed;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &failed, &length) != 0) {
            failed = errno;
        }
        errno = failed;
    }
    if (failed != 0) {
        std::perror("connect");
        std::abort();
    }
    return fd;
}

// Sends all of it unless the server has closed, which is its right.
void SendAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return;
        }
        data += sent;
        size -= static_cast<size_t>(sent);
    }
}

// Reads what the server sends until it closes or has been quiet for a while.
void Drain(int fd, int quiet_ms) {
    char discard[4096];
    pollfd wait = {fd, POLLIN, 0};
    while (poll(&wait, 1, quiet_ms) > 0 && read(fd, discard, sizeof discard) > 0) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static CWebServer server;
    g_server = &server;
    // Below the kernel's range for outgoing ports, so that no client of the
    // tests running beside takes it.
    g_port = static_cast<uint16_t>(10000 + getpid() % 20000);
    const std::string port = std::to_string(g_port);
    if (server.StartSocetServers(port.c_str()) != 0) {
        std::abort();
    }
    server.SendStringToWeb(1, std::string());  // a scanner is open
    for (int i = 0; i < 500 && server.ListenerState() == 0; ++i) {
        usleep(10000);  // the server thread is still starting
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t mode = size > 0 ? data[0] : 0;
    if (size > 0) {
        ++data;
        --size;
    }
    const int fd = Connect();
    if ((mode & 1) != 0) {
        SendAll(fd, reinterpret_cast<const uint8_t*>(kHandshake), sizeof kHandshake - 1);
    }
    SendAll(fd, data, size);
    if ((mode & 2) != 0) {
        // A scan goes out from this thread while the server reads, as in the
        // daemon.
        g_server->SendStringToWeb(0, "SCAN-0001\r\n");
    }
    Drain(fd, (mode & 1) != 0 ? 5 : 1);
    // Vanish without a close frame; half the time with a reset.
    if ((mode & 4) != 0) {
        const linger reset = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    close(fd);
    return 0;
}
