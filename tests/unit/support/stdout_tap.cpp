#include "stdout_tap.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

StdoutTap::StdoutTap() {
    int fds[2];
    if (pipe(fds) != 0) {
        ADD_FAILURE() << "pipe";
        return;
    }
    std::fflush(stdout);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // as the daemon runs: lines as they happen
    m_saved_stdout = dup(STDOUT_FILENO);
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]);
    m_pump = std::thread(&StdoutTap::Pump, this, fds[0]);
}

StdoutTap::~StdoutTap() {
    if (m_saved_stdout < 0) {
        return;
    }
    std::fflush(stdout);
    dup2(m_saved_stdout, STDOUT_FILENO);  // the pipe's last writer goes: the pump ends
    close(m_saved_stdout);
    m_pump.join();
    if (::testing::Test::HasFailure()) {
        std::fprintf(stderr, "--- standard output of the failed test ---\n%s---\n", m_text.c_str());
    }
}

void StdoutTap::Pump(int fd) {
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_text.append(buffer, static_cast<size_t>(got));
        m_cv.notify_all();
    }
    close(fd);
}

void StdoutTap::Sync() {
    std::fflush(stdout);
    // A marker behind everything written so far; once it is in, so is the rest.
    const std::string marker = "\x1esync" + std::to_string(++m_syncs) + "\x1e";
    if (write(STDOUT_FILENO, marker.data(), marker.size()) != static_cast<ssize_t>(marker.size())) {
        return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    size_t at = std::string::npos;
    m_cv.wait_for(lock, std::chrono::seconds(5),
                  [&] { return (at = m_text.find(marker)) != std::string::npos; });
    if (at != std::string::npos) {
        m_text.erase(at, marker.size());
    }
}

std::string StdoutTap::Text() {
    Sync();
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_text;
}

bool StdoutTap::WaitFor(const std::string& needle, std::chrono::milliseconds timeout) {
    Sync();
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [&] { return m_text.find(needle) != std::string::npos; });
}

size_t StdoutTap::Count(const std::string& needle) {
    const std::string text = Text();
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}
