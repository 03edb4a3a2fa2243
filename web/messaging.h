#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace httplib {
class Server;
}

namespace async {

// The one-way channel from the program to its pages: every published text goes, once and oldest
// first, to one page holding GET "/event" open, as one server-sent event.
class messaging {
  public:
    struct limits {
        // Texts kept while no page reads them. When the queue is full the oldest noise reading is
        // dropped: a page that opens late wants the current level, not minutes of stale ones.
        std::size_t queue_capacity = 1000;
        // Event streams served at once. Each holds one server worker for its whole life, so more
        // would starve the settings requests of the pages.
        std::size_t max_streams = 6;
        // How often a waiting stream checks that its page is still there.
        std::chrono::milliseconds liveness_period{250};
        // How long release_all() waits for open streams to take what is queued.
        std::chrono::milliseconds flush_limit{1000};
    };

    explicit messaging(httplib::Server& server);
    messaging(httplib::Server& server, limits limits);
    ~messaging();
    messaging(const messaging&) = delete;
    messaging& operator=(const messaging&) = delete;

    // Queues one text and wakes one waiting stream. Never blocks on a stream; safe from any thread.
    void send(std::string text);

    // Takes the oldest text, waiting for one. Gives nothing, and takes nothing, when still_wanted()
    // turns false (checked before taking and every liveness period while waiting), or when the
    // queue is empty after release_all().
    std::optional<std::string> wait_next(const std::function<bool()>& still_wanted = {});

    // Lets every stream end once the queue is empty: used at shutdown, after the exit text, so the
    // server's stop does not wait for streams that would otherwise wait for ever. Returns once the
    // open streams have taken the queued texts (or after the flush limit): a stream between two
    // texts when the server stops would end without the rest, the exit text among them.
    void release_all();

    std::size_t queued() const;
    std::size_t open_streams() const { return streams_.load(); }

  private:
    static bool is_noise_reading(const std::string& text);

    limits limits_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable drained_;  // the queue emptied, or a stream ended
    std::deque<std::string> queue_;
    bool released_ = false;
    std::atomic<std::size_t> streams_{0};
};

}  // namespace async
