#include "web/messaging.h"

#include <httplib.h>

#include <algorithm>
#include <memory>

namespace async {

namespace {
constexpr const char* too_many_streams = R"({"type": "error", "error": "Too many event streams."})";
}

messaging::messaging(httplib::Server& server) : messaging(server, limits{}) {}

messaging::messaging(httplib::Server& server, limits limits) : limits_(limits) {
    server.Get("/event", [this](const httplib::Request&, httplib::Response& res) {
        if (streams_.fetch_add(1) >= limits_.max_streams) {
            streams_.fetch_sub(1);
            res.status = 503;
            res.set_content(too_many_streams, "application/json");
            return;
        }
        res.set_chunked_content_provider(
            "text/event-stream",
            [this](std::size_t, httplib::DataSink& sink) {
                auto text = wait_next([&sink] { return sink.is_writable(); });
                if (!text) {
                    // The page has gone, or the program is shutting down: end this stream
                    // without having taken a text from the others.
                    return false;
                }
                std::string frame;
                frame.reserve(text->size() + 8);
                frame.append("data: ").append(*text).append("\n\n");
                sink.write(frame.data(), frame.size());
                return true;
            },
            [this](bool) {
                std::lock_guard lock(mutex_);
                streams_.fetch_sub(1);
                drained_.notify_all();
            });
    });
}

messaging::~messaging() = default;

bool messaging::is_noise_reading(const std::string& text) {
    return text.starts_with(R"({"value": )") || text.starts_with(R"({"curve": )");
}

void messaging::send(std::string text) {
    {
        std::lock_guard lock(mutex_);
        if (queue_.size() >= limits_.queue_capacity) {
            auto oldest = std::find_if(queue_.begin(), queue_.end(), is_noise_reading);
            if (oldest != queue_.end()) {
                queue_.erase(oldest);
            } else if (is_noise_reading(text)) {
                // Full of texts that must not be lost: the newest reading is the one to give up.
                return;
            }
        }
        queue_.push_back(std::move(text));
    }
    ready_.notify_one();
}

std::optional<std::string> messaging::wait_next(const std::function<bool()>& still_wanted) {
    for (;;) {
        // Checked without the lock: it may look at a socket.
        if (still_wanted && !still_wanted()) {
            std::lock_guard lock(mutex_);
            if (!queue_.empty()) {
                // This waiter may have swallowed the wake-up meant for a text; pass it on.
                ready_.notify_one();
            }
            return std::nullopt;
        }
        std::unique_lock lock(mutex_);
        bool woken = ready_.wait_for(lock, limits_.liveness_period,
                                     [this] { return !queue_.empty() || released_; });
        if (!woken) {
            continue;
        }
        if (queue_.empty()) {
            return std::nullopt;  // released
        }
        if (still_wanted) {
            lock.unlock();
            if (!still_wanted()) {
                ready_.notify_one();
                return std::nullopt;
            }
            lock.lock();
            if (queue_.empty()) {
                if (released_) {
                    return std::nullopt;
                }
                continue;
            }
        }
        std::string text = std::move(queue_.front());
        queue_.pop_front();
        if (queue_.empty()) {
            drained_.notify_all();
        }
        return text;
    }
}

void messaging::release_all() {
    std::unique_lock lock(mutex_);
    released_ = true;
    ready_.notify_all();
    drained_.wait_for(lock, limits_.flush_limit,
                      [this] { return queue_.empty() || streams_.load() == 0; });
}

std::size_t messaging::queued() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

}  // namespace async
