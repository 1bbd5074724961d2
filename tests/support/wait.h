// Waiting on a condition with a deadline, never a bare sleep.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace attest {

// Polls pred every millisecond until it holds or limit has passed; returns its last value.
inline bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace attest
