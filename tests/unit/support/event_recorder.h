#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>

// Records what the read loops hand to their callback. The callback is a plain
// function pointer, so there is one recorder for the process.
struct ScanEvent {
    int code;
    std::string text;
};

class EventRecorder {
  public:
    static EventRecorder& Get();
    static void Callback(int code, std::string text);

    void Clear();
    // The next event, or false after `timeout`.
    bool Next(ScanEvent& event, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    size_t Pending();

  private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<ScanEvent> m_events;
};
