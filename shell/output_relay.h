#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

// Standard output is the daemon's log, read by a supervisor, a terminal or a
// pipe. Whoever reads it must never be able to stall the daemon: if the
// reader stops reading, a blocking write would freeze every thread that
// prints, the scan path among them.
//
// The relay puts a pipe of its own in place of descriptor 1. One thread
// drains that pipe into a bounded queue of lines at once; another writes the
// queue to the real standard output at the reader's pace. When the queue is
// full the oldest lines are dropped and a line says how many. The bytes and
// their order are otherwise unchanged.
//
// It also opens /dev/null on any of descriptors 0 to 2 that is closed, so that
// no port or socket the daemon opens later can become its standard output.
class OutputRelay {
  public:
    // Lines kept for a stalled reader before the oldest are dropped.
    static constexpr size_t kMaxQueuedBytes = 1 << 20;
    // How long the end of the process waits for a stalled reader.
    static constexpr int kDrainMillis = 2000;

    OutputRelay();
    // Flushes standard output and hands everything queued to the reader,
    // waiting kDrainMillis at most.
    ~OutputRelay();
    OutputRelay(const OutputRelay&) = delete;
    OutputRelay& operator=(const OutputRelay&) = delete;

  private:
    void Drain();    // pipe -> queue
    void Forward();  // queue -> real standard output
    void Enqueue(const char* bytes, size_t len);

    int m_pipe = -1;  // the read end; the write end is descriptor 1
    int m_real = -1;  // the standard output we were given
    std::thread m_drainer;
    std::thread m_forwarder;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::string> m_lines;  // the last one may still lack its line feed
    size_t m_queued = 0;
    size_t m_dropped = 0;
    bool m_input_ended = false;
    bool m_writing = false;              // the forwarder is writing what it took
    std::atomic<bool> m_give_up{false};  // the end's drain deadline has passed
};
