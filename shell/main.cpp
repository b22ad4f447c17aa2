#include <csignal>
#include <cstdio>
#include <string>

#include <unistd.h>

#include "conf_reader.h"
#include "instance_guard.h"
#include "output_relay.h"
#include "ttyUSB.h"
#include "tty_attr.h"
#include "webserver.h"

namespace {

// Built in this order and destroyed in the reverse one: the web server (its
// thread joined) before the scanner object, and the output relay last, so
// that every line printed up to the end reaches standard output.
OutputRelay g_outputRelay;
CttyUSB g_ttyUSB;
CWebServer g_webServer;
std::string g_webPort;
TtyAttr g_ttyAttr;
int g_nSelectEncoding;
NetworkPolicy g_netPolicy;

int ReadConfInfo() {
    return ReadConfFile(kConfPath, g_webPort, g_nSelectEncoding, g_ttyAttr, g_netPolicy);
}

// The one seam between the scanner layer and the web layer: every event goes
// on unchanged.
void recvStringfromGun(int code, std::string text) {
    g_webServer.SendStringToWeb(code, std::string(text.data(), text.size()));
}

// For calls whose failure changes nothing about what happens next.
void Ignore(int) {}

}  // namespace

int main() {
    // Lines must reach a pipe or the journal as they happen.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    if (IsProceRunning()) {
        std::puts("程序已经打开，请勿重复打开!");
        return -1;
    }
    if (getuid() != 0) {
        std::puts("current user is not root");
        Ignore(setuid(0));
        Ignore(setgid(0));
    }
    std::signal(SIGCHLD, SIG_IGN);
    ReadConfInfo();
    std::puts("程序打开成功!");

    g_webServer.m_policy = g_netPolicy;
    if (g_webServer.StartSocetServers(g_webPort.c_str()) < 0) {
        std::puts("open websocket server:failure");
        return -1;
    }
    g_ttyUSB.m_baud = g_ttyAttr.baudrate;
    g_ttyUSB.m_databits = g_ttyAttr.databits;
    g_ttyUSB.m_stopbits = g_ttyAttr.stopbits;
    g_ttyUSB.m_parity = g_ttyAttr.parity;
    // Returns once the scanner it served is gone; both helper threads have
    // ended or end with the objects' destructors.
    g_ttyUSB.Read_byMonitor_sync(g_nSelectEncoding, recvStringfromGun);
    return 0;
}
