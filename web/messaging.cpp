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
        // The stream's own queue exists from the request on, so no text published while the
        // response starts is missed; the texts that waited for a page are its first.
        auto mine = std::make_shared<queue>();
        {
            std::lock_guard lock(mutex_);
            mine->swap(waiting_);
            open_.push_back(mine);
        }
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, mine](std::size_t, httplib::DataSink& sink) {
                auto text = take(*mine, [&sink] { return sink.is_writable(); });
                if (!text) {
                    // The page has gone, or the program is shutting down.
                    return false;
                }
                std::string frame;
                frame.reserve(text->size() + 8);
                frame.append("data: ").append(*text).append("\n\n");
                sink.write(frame.data(), frame.size());
                return true;
            },
            [this, mine](bool) {
                std::lock_guard lock(mutex_);
                open_.remove(mine);
                streams_.fetch_sub(1);
                drained_.notify_all();
            });
    });
}

messaging::~messaging() = default;

bool messaging::is_noise_reading(const std::string& text) {
    return text.starts_with(R"({"value": )") || text.starts_with(R"({"curve": )");
}

bool messaging::is_live_news(const std::string& text) {
    return text.starts_with(R"({"event" : "hit")") || text.starts_with(R"({"event" : "pedal")");
}

void messaging::push(queue& into, const std::string& text) const {
    if (into.size() >= limits_.queue_capacity) {
        auto oldest = std::find_if(into.begin(), into.end(), is_noise_reading);
        if (oldest != into.end()) {
            into.erase(oldest);
        } else if (is_noise_reading(text)) {
            // Full of texts that must not be lost: the newest reading is the one to give up.
            return;
        }
    }
    into.push_back(text);
}

void messaging::send(std::string text) {
    {
        std::lock_guard lock(mutex_);
        if (open_.empty()) {
            if (!is_live_news(text)) {
                push(waiting_, text);
            }
        } else {
            for (const auto& stream : open_) {
                push(*stream, text);
            }
        }
    }
    ready_.notify_all();
}

std::optional<std::string> messaging::wait_next(const std::function<bool()>& still_wanted) {
    return take(waiting_, still_wanted);
}

std::optional<std::string> messaging::take(queue& from, const std::function<bool()>& still_wanted) {
    for (;;) {
        // Checked without the lock: it may look at a socket.
        if (still_wanted && !still_wanted()) {
            return std::nullopt;
        }
        std::unique_lock lock(mutex_);
        const bool woken = ready_.wait_for(lock, limits_.liveness_period,
                                           [&] { return !from.empty() || released_; });
        if (!woken) {
            continue;
        }
        if (from.empty()) {
            return std::nullopt;  // released
        }
        if (still_wanted) {
            lock.unlock();
            if (!still_wanted()) {
                return std::nullopt;
            }
            lock.lock();
            if (from.empty()) {
                if (released_) {
                    return std::nullopt;
                }
                continue;
            }
        }
        std::string text = std::move(from.front());
        from.pop_front();
        if (from.empty()) {
            drained_.notify_all();
        }
        return text;
    }
}

bool messaging::all_drained() const {
    return std::all_of(open_.begin(), open_.end(), [](const auto& q) { return q->empty(); });
}

void messaging::release_all() {
    std::unique_lock lock(mutex_);
    released_ = true;
    ready_.notify_all();
    drained_.wait_for(lock, limits_.flush_limit,
                      [this] { return all_drained() || streams_.load() == 0; });
}

std::size_t messaging::open_streams() const {
    std::lock_guard lock(mutex_);
    return open_.size();
}

std::size_t messaging::queued() const {
    std::lock_guard lock(mutex_);
    std::size_t total = waiting_.size();
    for (const auto& stream : open_) {
        total += stream->size();
    }
    return total;
}

}  // namespace async
