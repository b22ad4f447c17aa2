#include "output_relay.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

void OpenMissingStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1) {
            const int null = open("/dev/null", O_RDWR);
            if (null >= 0 && null != fd) {
                dup2(null, fd);
                close(null);
            }
        }
    }
}

// Writes all of bytes to fd, a page at a time and only when fd can take it, so
// that no single write blocks for long. False when fd failed for good or
// give_up was set while waiting.
bool WriteWhenReady(int fd, const char* bytes, size_t len, const std::atomic<bool>& give_up) {
    while (len > 0) {
        if (give_up) {
            return false;
        }
        pollfd out = {fd, POLLOUT, 0};
        const int ready = poll(&out, 1, 100);
        if (ready == 0 || (ready < 0 && errno == EINTR)) {
            continue;
        }
        if (ready < 0 || (out.revents & (POLLERR | POLLNVAL)) != 0) {
            return false;
        }
        const ssize_t written = write(fd, bytes, len < 4096 ? len : 4096);
        if (written < 0 && errno != EINTR && errno != EAGAIN) {
            return false;
        }
        if (written > 0) {
            bytes += written;
            len -= static_cast<size_t>(written);
        }
    }
    return true;
}

}  // namespace

OutputRelay::OutputRelay() {
    OpenMissingStandardStreams();
    // A reader that has gone must not end the daemon: writes to it fail instead.
    std::signal(SIGPIPE, SIG_IGN);
    int ends[2];
    m_real = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (m_real < 0 || pipe2(ends, O_CLOEXEC) != 0) {
        if (m_real >= 0) {
            close(m_real);
        }
        m_real = -1;
        return;  // no relay: output goes straight out
    }
    dup2(ends[1], STDOUT_FILENO);  // without close-on-exec, like the original
    close(ends[1]);
    m_pipe = ends[0];
    m_drainer = std::thread(&OutputRelay::Drain, this);
    m_forwarder = std::thread(&OutputRelay::Forward, this);
}

OutputRelay::~OutputRelay() {
    if (m_pipe < 0) {
        return;
    }
    std::fflush(stdout);
    // From now on output goes straight out; the pipe's last writer is gone, so
    // the drainer reaches its end once it has taken everything.
    dup2(m_real, STDOUT_FILENO);
    m_drainer.join();
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        const bool drained = m_changed.wait_for(lock, std::chrono::milliseconds(kDrainMillis),
                                                [this] { return m_lines.empty() && !m_writing; });
        m_give_up = !drained;
    }
    m_changed.notify_all();
    m_forwarder.join();
    close(m_pipe);
    close(m_real);
}

void OutputRelay::Drain() {
    char block[4096];
    for (;;) {
        const ssize_t got = read(m_pipe, block, sizeof block);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        Enqueue(block, static_cast<size_t>(got));
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_input_ended = true;
    m_changed.notify_all();
}

void OutputRelay::Enqueue(const char* bytes, size_t len) {
    std::lock_guard<std::mutex> lock(m_mutex);
    while (len > 0) {
        if (m_lines.empty() || (!m_lines.back().empty() && m_lines.back().back() == '\n')) {
            m_lines.emplace_back();
        }
        const char* end = static_cast<const char*>(std::memchr(bytes, '\n', len));
        const size_t take = end != nullptr ? static_cast<size_t>(end - bytes) + 1 : len;
        m_lines.back().append(bytes, take);
        m_queued += take;
        bytes += take;
        len -= take;
    }
    // A stalled reader: keep the newest lines (the last one may be incomplete).
    while (m_queued > kMaxQueuedBytes && m_lines.size() > 1) {
        m_queued -= m_lines.front().size();
        m_lines.pop_front();
        ++m_dropped;
    }
    m_changed.notify_all();
}

void OutputRelay::Forward() {
    std::unique_lock<std::mutex> lock(m_mutex);
    bool reader_gone = false;
    for (;;) {
        m_changed.wait(lock, [this] { return !m_lines.empty() || m_input_ended || m_give_up; });
        if (m_give_up || (m_lines.empty() && m_input_ended)) {
            return;
        }
        std::string out;
        if (m_dropped > 0) {
            out = "output stalled: " + std::to_string(m_dropped) + " lines dropped\n";
            m_dropped = 0;
        }
        for (const std::string& line : m_lines) {
            out += line;
        }
        m_lines.clear();
        m_queued = 0;
        if (reader_gone) {
            continue;  // keep draining, forward nothing
        }
        m_writing = true;
        lock.unlock();
        reader_gone = !WriteWhenReady(m_real, out.data(), out.size(), m_give_up);
        lock.lock();
        m_writing = false;
        m_changed.notify_all();
    }
}
