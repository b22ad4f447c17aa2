#include <csignal>
#include <cstdio>
#include <string>

#include <unistd.h>

#include "conf_reader.h"
#include "instance_guard.h"
#include "tty_attr.h"

namespace {

std::string g_webPort;
TtyAttr g_ttyAttr;
int g_nSelectEncoding;

int ReadConfInfo() {
    return ReadConfFile(kConfPath, g_webPort, g_nSelectEncoding, g_ttyAttr);
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
    return 0;
}
