#pragma once

// A server on a port of its own for one test, and a raw event-stream client that can vanish the
// way a closed browser tab does.

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace test {

class running_server {
  public:
    // Unless told otherwise, the port may be taken again at once after an earlier run's
    // connections (TIME_WAIT).
    running_server(httplib::Server& server, int port, bool reuse_address = true) : server_(server) {
        if (reuse_address) {
            server_.set_socket_options([](int sock) {
                int yes = 1;
                setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
            });
        }
        server_.set_keep_alive_timeout(1);
        if (!server_.bind_to_port("127.0.0.1", port)) {
            throw std::runtime_error("test port " + std::to_string(port) + " is taken");
        }
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~running_server() { stop(); }
    void stop() {
        server_.stop();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

  private:
    httplib::Server& server_;
    std::thread thread_;
};

// A plain TCP connection to 127.0.0.1 for requests no HTTP client would send.
class raw_connection {
  public:
    explicit raw_connection(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~raw_connection() { ::close(fd_); }
    raw_connection(const raw_connection&) = delete;
    raw_connection& operator=(const raw_connection&) = delete;
    bool connected() const { return connected_; }
    // Ends the connection both ways while another thread may still be sending on it.
    void shut_down() { ::shutdown(fd_, SHUT_RDWR); }

    // Sends until everything is sent or the server stops taking it; returns the bytes sent.
    std::size_t send(const std::string& data) {
        std::size_t sent = 0;
        while (sent < data.size()) {
            const ssize_t n = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                break;
            }
            sent += static_cast<std::size_t>(n);
        }
        return sent;
    }

    // Everything until the server closes the connection, stays quiet for `quiet`, or `done`
    // says the answer is complete.
    template <typename done_fn = bool (*)(const std::string&)>
    std::string read_all(
        std::chrono::milliseconds quiet, done_fn done = [](const std::string&) { return false; }) {
        std::string out;
        pollfd p{fd_, POLLIN, 0};
        while (!done(out) && ::poll(&p, 1, static_cast<int>(quiet.count())) > 0) {
            char buf[4096];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) {
                break;
            }
            out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
};

class raw_stream {
  public:
    explicit raw_stream(int port, const std::string& path = "/event") {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            throw std::runtime_error("cannot connect");
        }
        std::string request =
            "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
        ::send(fd_, request.data(), request.size(), MSG_NOSIGNAL);
    }
    ~raw_stream() { close(); }
    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

    // Reads until `count` event texts have arrived or the time is up; returns all texts so far.
    std::vector<std::string> events(std::size_t count,
                                    std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        auto end = std::chrono::steady_clock::now() + limit;
        do {
            pump(10);
        } while (parse().size() < count && std::chrono::steady_clock::now() < end);
        return parse();
    }

    // Everything received so far, headers and chunk framing included.
    const std::string& raw() {
        pump(0);
        return buffer_;
    }

    // Whether the server has closed the connection (read returns 0).
    bool closed_by_server(std::chrono::milliseconds limit) {
        auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            if (pump(20) == 0) {
                return true;
            }
        }
        return false;
    }

  private:
    // Returns the result of the last read: 0 at end of stream, -1 when nothing came.
    ssize_t pump(int timeout_ms) {
        pollfd p{fd_, POLLIN, 0};
        ssize_t last = -1;
        while (::poll(&p, 1, timeout_ms) > 0) {
            char chunk[4096];
            last = ::recv(fd_, chunk, sizeof chunk, 0);
            if (last <= 0) {
                return last == 0 ? 0 : -1;
            }
            buffer_.append(chunk, static_cast<std::size_t>(last));
            timeout_ms = 0;
        }
        return last;
    }

    std::vector<std::string> parse() const {
        std::vector<std::string> out;
        for (auto pos = buffer_.find("data: "); pos != std::string::npos;
             pos = buffer_.find("data: ", pos)) {
            auto end = buffer_.find("\n\n", pos);
            if (end == std::string::npos) {
                break;
            }
            out.push_back(buffer_.substr(pos + 6, end - pos - 6));
            pos = end + 2;
        }
        return out;
    }

    int fd_ = -1;
    std::string buffer_;
};

}  // namespace test
