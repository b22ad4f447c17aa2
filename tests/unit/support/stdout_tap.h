#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

// Routes the process's standard output into a pipe for as long as it lives and
// collects what the code under test prints, from any thread. When the test has
// failed, the collected text is copied to standard error on the way out.
class StdoutTap {
  public:
    StdoutTap();
    ~StdoutTap();
    StdoutTap(const StdoutTap&) = delete;
    StdoutTap& operator=(const StdoutTap&) = delete;

    std::string Text();
    // Waits until the collected text holds `needle`, at most `timeout`.
    bool WaitFor(const std::string& needle,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // How often `needle` occurs in the collected text.
    size_t Count(const std::string& needle);

  private:
    void Pump(int fd);
    // Returns once everything printed before the call has been collected.
    void Sync();

    int m_saved_stdout = -1;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::string m_text;
    unsigned m_syncs = 0;
    std::thread m_pump;
};
