#pragma once

// A stand-in for the module's command link and the event stream, recording what a transfer sends.

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "maintenance/transfer.h"

namespace test {

class recorder {
  public:
    // reset runs when "/reset" is written; its result is what the write returns.
    explicit recorder(std::function<bool()> reset = [] { return true; })
        : reset_(std::move(reset)) {}

    firmware::link link() {
        return {[this](const std::string& command) {
                    {
                        std::lock_guard lock(mutex_);
                        commands_.push_back(command);
                    }
                    return command == "/reset" ? reset_() : true;
                },
                [this](std::string text) {
                    std::lock_guard lock(mutex_);
                    events_.push_back(std::move(text));
                    changed_.notify_all();
                }};
    }

    std::vector<std::string> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::vector<std::string> commands() const {
        std::lock_guard lock(mutex_);
        return commands_;
    }
    bool wait_for(const std::string& text, std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] {
            return std::find(events_.begin(), events_.end(), text) != events_.end();
        });
    }

  private:
    std::function<bool()> reset_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
    std::vector<std::string> commands_;
};

// A pacing of milliseconds instead of the module's seconds.
inline firmware::pacing fast_pacing() {
    using namespace std::chrono_literals;
    firmware::pacing p;
    p.step = 1ms;
    p.bootloader.retry_pause = 1ms;
    p.bootloader.report_pause = 0ms;
    p.bootloader.ack_timeout = 300ms;
    return p;
}

// An image of the given size with varied bytes, so padding and order errors show.
inline std::string image_of(std::size_t size) {
    std::string image(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        image[i] = static_cast<char>((i * 131 + 7) & 0xFF);
    }
    return image;
}

// The progress values of the progress events, in order.
inline std::vector<int> progress_values(const std::vector<std::string>& events) {
    const std::string prefix = R"({"event" : "firmware_upload_progress", "value":)";
    std::vector<int> values;
    for (const auto& e : events) {
        if (e.rfind(prefix, 0) == 0) {
            values.push_back(std::stoi(e.substr(prefix.size())));
        }
    }
    return values;
}

inline std::vector<int> range(int from, int to) {
    std::vector<int> out;
    for (int i = from; i <= to; ++i) {
        out.push_back(i);
    }
    return out;
}

inline std::vector<int> concat(std::vector<int> a, const std::vector<int>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace test
