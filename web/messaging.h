#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace httplib {
class Server;
}

namespace async {

// The one-way channel from the program to its pages: every published text goes, oldest first, to
// every page holding GET "/event" open when it is published, as one server-sent event each. A text
// published while no page listens waits for the next page that opens the stream, except the live
// news of the drums (hits and the hi-hat pedal's readings): seconds old, in a page that opens
// later, they would show playing that is over, so they go to the streams open now or nowhere.
class messaging {
  public:
    struct limits {
        // Texts kept for one page (or while no page listens). When a queue is full its oldest noise
        // reading is dropped: a page that opens late or reads slowly wants the current level, not
        // minutes of stale ones.
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

    // Queues one text for every open stream (or for the next one, when none is open and the text
    // is no live news) and wakes them. Never blocks on a stream; safe from any thread.
    void send(std::string text);

    // Takes the oldest text that waits for the next stream, waiting for one: a reader in the
    // program's place of a page. Gives nothing, and takes nothing, when still_wanted() turns false
    // (checked before taking and every liveness period while waiting), or when nothing waits
    // after release_all().
    std::optional<std::string> wait_next(const std::function<bool()>& still_wanted = {});

    // Lets every stream end once the queue is empty: used at shutdown, after the exit text, so the
    // server's stop does not wait for streams that would otherwise wait for ever. Returns once the
    // open streams have taken the queued texts (or after the flush limit): a stream between two
    // texts when the server stops would end without the rest, the exit text among them.
    void release_all();

    // Texts not yet taken, summed over the open streams and the next one.
    std::size_t queued() const;
    // Streams that receive what is published from now on.
    std::size_t open_streams() const;

  private:
    using queue = std::deque<std::string>;
    static bool is_noise_reading(const std::string& text);
    static bool is_live_news(const std::string& text);
    // These two run with the mutex held.
    void push(queue& into, const std::string& text) const;
    bool all_drained() const;
    // Takes the oldest text of one queue, as wait_next() does.
    std::optional<std::string> take(queue& from, const std::function<bool()>& still_wanted);

    limits limits_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable drained_;  // a queue emptied, or a stream ended
    queue waiting_;                    // for the next stream to open
    std::list<std::shared_ptr<queue>> open_;
    bool released_ = false;
    std::atomic<std::size_t> streams_{0};
};

}  // namespace async
