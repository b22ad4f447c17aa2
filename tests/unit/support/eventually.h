#pragma once

#include <chrono>
#include <thread>

// Polls predicate every 5 ms until it holds; false if it still does not after
// `timeout`.
template <typename Predicate>
bool Eventually(Predicate predicate, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
