#include "web/serving.h"

#include <httplib.h>

#include <chrono>

namespace web {

serving::serving(httplib::Server& server) : server_(server) {
    thread_ = std::thread([this] {
        server_.listen_after_bind();
        {
            std::lock_guard lock(mutex_);
            ended_ = true;
        }
        ended_signal_.notify_all();
    });
}

serving::~serving() {
    stop();
}

void serving::stop() {
    if (!thread_.joinable()) {
        return;
    }
    {
        // The library says when it listens only by is_running(), without a signal: it is looked
        // at every millisecond, which lasts only as long as the thread takes to start.
        std::unique_lock lock(mutex_);
        while (!ended_ && !server_.is_running()) {
            ended_signal_.wait_for(lock, std::chrono::milliseconds(1));
        }
    }
    server_.stop();
    thread_.join();
}

}  // namespace web
