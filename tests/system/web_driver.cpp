// Drives the web layer for the system tests: commands on standard input, one
// per line, each acknowledged on standard error once done; standard output
// carries the layer's own messages.
//   serve PORT         CWebServer::StartSocetServers(PORT)
//   event CODE [HEX]   SendStringToWeb(CODE, bytes of HEX)
//   burst N [SIZE]     SendStringToWeb(0, "m<i>" padded with x to SIZE bytes) for
//                      i < N, on another thread
//   join               wait for the burst to end
//   setup PORT         setupWebsocketServer(PORT) on this thread, again
//   raw PORT           a bare WebsocketControl whose callbacks report on stderr
//   quit               end; the destructors tear everything down
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "webserver.h"

namespace {

std::string FromHex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

void Ack(const std::string& line) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", line.c_str());
}

void* RawReceived(lws* conn, char* text, int size, void*) {
    std::fprintf(stderr, "recv %p %d %s\n", static_cast<void*>(conn), size, text);
    return nullptr;
}

void* RawClosed(lws* conn) {
    std::fprintf(stderr, "closed %p\n", static_cast<void*>(conn));
    return nullptr;
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    CWebServer server;
    std::unique_ptr<WebsocketControl> raw;
    std::thread raw_thread;
    std::thread burst;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command, arg;
        words >> command >> arg;
        if (command == "serve") {
            Ack("serve " + std::to_string(server.StartSocetServers(arg.c_str())));
        } else if (command == "event") {
            std::string hex;
            words >> hex;
            Ack("event " + std::to_string(server.SendStringToWeb(std::stoi(arg), FromHex(hex))));
        } else if (command == "burst") {
            const int count = std::stoi(arg);
            size_t size = 0;
            words >> size;
            burst = std::thread([&server, count, size] {
                for (int i = 0; i < count; ++i) {
                    std::string text = "m" + std::to_string(i);
                    text.resize(std::max(size, text.size()), 'x');
                    server.SendStringToWeb(0, text);
                }
            });
            Ack("burst started");
        } else if (command == "join") {
            if (burst.joinable()) {
                burst.join();
            }
            Ack("joined");
        } else if (command == "setup") {
            Ack("setup " + std::to_string(server.m_ws_control->setupWebsocketServer(arg.c_str())));
        } else if (command == "raw") {
            raw.reset(new WebsocketControl());
            raw->SocketLinkRecvSetCallback(RawReceived, nullptr);
            raw->SocketLinkCloseSetCallback(RawClosed);
            WebsocketControl* control = raw.get();
            Ack("raw");  // before the thread can acknowledge its set-up
            raw_thread = std::thread([control, arg] {
                const int result = control->setupWebsocketServer(arg.c_str());
                Ack("setup " + std::to_string(result));
            });
        } else if (command == "quit") {
            break;
        }
    }
    if (burst.joinable()) {
        burst.join();
    }
    if (raw) {
        raw->closeWebsocketServer();
        raw_thread.join();
    }
    Ack("bye");
    return 0;
}
