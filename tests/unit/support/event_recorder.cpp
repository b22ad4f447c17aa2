#include "event_recorder.h"

EventRecorder& EventRecorder::Get() {
    static EventRecorder recorder;
    return recorder;
}

void EventRecorder::Callback(int code, std::string text) {
    EventRecorder& recorder = Get();
    std::lock_guard<std::mutex> lock(recorder.m_mutex);
    recorder.m_events.push_back({code, std::move(text)});
    recorder.m_cv.notify_all();
}

void EventRecorder::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.clear();
}

bool EventRecorder::Next(ScanEvent& event, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_cv.wait_for(lock, timeout, [this] { return !m_events.empty(); })) {
        return false;
    }
    event = std::move(m_events.front());
    m_events.pop_front();
    return true;
}

size_t EventRecorder::Pending() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events.size();
}
