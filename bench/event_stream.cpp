#include "bench/event_stream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace bench {

event_stream::event_stream(int port, const std::string& host) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        closed_ = true;
        return;
    }
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const std::string request = "GET /event HTTP/1.1\r\nHost: " + host +
                                "\r\nAccept: text/event-stream\r\nCache-Control: no-cache\r\n\r\n";
    if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        closed_ = true;
        return;
    }
    reader_ = std::thread([this] { read_loop(); });
}

event_stream::~event_stream() {
    if (fd_ >= 0) {
        ::shutdown(fd_, SHUT_RDWR);
    }
    if (reader_.joinable()) {
        reader_.join();
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void event_stream::read_loop() {
    char buf[16384];
    for (;;) {
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        last_read_ = std::chrono::steady_clock::now();
        raw_.append(buf, static_cast<std::size_t>(n));
        parse();
    }
    std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

// Undoes the chunked transfer encoding and splits the body into server-sent-event frames.
void event_stream::parse() {
    if (!headers_done_) {
        const auto end = raw_.find("\r\n\r\n");
        if (end == std::string::npos) {
            return;
        }
        const bool ok = raw_.rfind("HTTP/1.1 200", 0) == 0;
        raw_.erase(0, end + 4);
        headers_done_ = true;
        std::lock_guard lock(mutex_);
        open_ = ok;
        closed_ = closed_ || !ok;
        changed_.notify_all();
    }
    for (;;) {
        const auto line_end = raw_.find("\r\n");
        if (line_end == std::string::npos) {
            break;
        }
        const std::size_t size = std::strtoul(raw_.c_str(), nullptr, 16);
        if (raw_.size() < line_end + 2 + size + 2) {
            break;
        }
        body_.append(raw_, line_end + 2, size);
        raw_.erase(0, line_end + 2 + size + 2);
    }
    std::size_t frame_end;
    while ((frame_end = body_.find("\n\n")) != std::string::npos) {
        std::string frame = body_.substr(0, frame_end);
        body_.erase(0, frame_end + 2);
        if (frame.rfind("data: ", 0) == 0) {
            frame.erase(0, 6);
        }
        std::lock_guard lock(mutex_);
        events_.push_back({last_read_, std::move(frame)});
        changed_.notify_all();
    }
}

bool event_stream::wait_open(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [this] { return open_ || closed_; });
    return open_;
}

std::optional<event_stream::event> event_stream::wait_for(
    const std::function<bool(const std::string&)>& match, std::chrono::milliseconds timeout,
    const std::function<void(const event&)>& skipped) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(mutex_);
    for (;;) {
        while (!events_.empty()) {
            event e = std::move(events_.front());
            events_.pop_front();
            if (match(e.text)) {
                return e;
            }
            if (skipped) {
                skipped(e);
            }
        }
        if (closed_ || changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
            if (events_.empty()) {
                return std::nullopt;
            }
        }
    }
}

bool event_stream::closed() {
    std::lock_guard lock(mutex_);
    return closed_;
}

std::deque<event_stream::event> event_stream::drain() {
    std::lock_guard lock(mutex_);
    std::deque<event> taken;
    taken.swap(events_);
    return taken;
}

}  // namespace bench
