#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

namespace httplib {
class Server;
}  // namespace httplib

namespace web {

// Serves a server that is already bound, on a thread of its own, until stop(). The HTTP library's
// own stop() does nothing while its serving thread has not begun to listen yet, and that thread
// would then listen for ever: a stop right after the start (a signal during start-up, a short
// test) would never end. This stop waits for the listening to begin first.
class serving {
  public:
    explicit serving(httplib::Server& server);
    ~serving();
    serving(const serving&) = delete;
    serving& operator=(const serving&) = delete;

    // Ends the serving and waits for its thread; once is enough, later calls do nothing.
    void stop();

  private:
    httplib::Server& server_;
    std::mutex mutex_;
    std::condition_variable ended_signal_;
    bool ended_ = false;  // the serving thread has left the library's listen loop
    std::thread thread_;
};

}  // namespace web
