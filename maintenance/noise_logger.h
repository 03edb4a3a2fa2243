#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace httplib {
class Server;
}
namespace usb {
class device;
}
namespace async {
class messaging;
}

namespace maintenance {

// The module's timing for the two readings; tests may shorten the pauses.
struct noise_logger_timing {
    std::chrono::milliseconds level_timeout{10};
    std::chrono::milliseconds curve_timeout{50};
    std::chrono::microseconds poll_interval{1000};
    // Between the level and the curve query of one cycle.
    std::chrono::milliseconds cycle_sleep{20};
    // Between polls while the module has no port, so that an idle program does not spin.
    std::chrono::milliseconds idle_pause{50};
};

// Polls the module for its noise level ("#") and latest curve ("@") and publishes each reading as
// an event for the pages, from a start request to the next stop.
class noise_logger {
  public:
    noise_logger(httplib::Server& server, usb::device& device, async::messaging& events,
                 noise_logger_timing timing = {});
    // Stops the worker, so that it never outlives the device or the broadcaster.
    ~noise_logger();
    noise_logger(const noise_logger&) = delete;
    noise_logger& operator=(const noise_logger&) = delete;

    // Registers GET "/start_noise_logger", then GET "/stop_noise_logger"; both answer {}.
    void register_routes(httplib::Server& server);

    // Starts a new worker; one that is still running is stopped first, so at most one ever runs.
    void start();
    // Ends the worker at its next check and waits for it. Once this returns, nothing more is
    // published until the next start.
    void stop();
    bool running() const { return running_.load(); }

  private:
    void run();
    void stop_locked();
    // Waits for the given time; false when a stop cut the wait short.
    bool pause(std::chrono::milliseconds duration);

    // The server its two routes are registered on; the polling itself never needs it.
    [[maybe_unused]] httplib::Server& server_;
    usb::device& device_;
    async::messaging& events_;
    noise_logger_timing timing_;
    std::atomic<bool> running_{false};
    std::mutex control_;  // orders starts and stops that arrive together
    std::mutex wake_mutex_;
    std::condition_variable wake_;
    std::thread worker_;
};

}  // namespace maintenance
