#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace bench {

// One page's GET "/event" stream, read on a raw socket so that every frame is stamped the moment
// its bytes leave the kernel, without an HTTP library's buffering in between.
class event_stream {
  public:
    struct event {
        std::chrono::steady_clock::time_point arrived;
        std::string text;  // the frame's data, without "data: " and the blank line
    };

    // Connects to 127.0.0.1:port and asks for "/event" with the given Host header.
    event_stream(int port, const std::string& host);
    ~event_stream();
    event_stream(const event_stream&) = delete;
    event_stream& operator=(const event_stream&) = delete;

    // True once the status line and headers of a 200 answer have arrived.
    bool wait_open(std::chrono::milliseconds timeout);

    // Takes events oldest first until one satisfies match, and returns it; the events before it
    // are handed to skipped (when given) and dropped. Nothing on time-out.
    std::optional<event> wait_for(const std::function<bool(const std::string&)>& match,
                                  std::chrono::milliseconds timeout,
                                  const std::function<void(const event&)>& skipped = {});

    // True once the server has ended the stream (or it never opened).
    bool closed();

    // Takes every event received so far.
    std::deque<event> drain();

  private:
    void read_loop();
    void parse();

    int fd_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<event> events_;
    bool open_ = false;
    bool closed_ = false;
    // Parser state, used by the reader thread only.
    std::string raw_;
    std::string body_;
    bool headers_done_ = false;
    std::chrono::steady_clock::time_point last_read_;
};

}  // namespace bench
