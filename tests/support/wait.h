#pragma once

// Polls a condition every 10 ms until it holds or `limit` has passed; whether it held.

#include <chrono>
#include <functional>
#include <thread>

namespace test {

inline bool eventually(const std::function<bool()>& holds,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    for (const auto end = std::chrono::steady_clock::now() + limit; !holds();
         std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
    }
    return true;
}

}  // namespace test
