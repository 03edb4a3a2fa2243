#pragma once

// A server on a test port of its own, and raw connections to 127.0.0.1 for what no HTTP client
// sends: malformed requests, stalled clients, and event streams that vanish as a closed tab does.

#include <arpa/inet.h>
#include <httplib.h>
#include <poll.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/wait.h"
#include "web/listening_socket.h"
#include "web/serving.h"

namespace test {

using namespace std::chrono_literals;

class running_server {
  public:
    // The listening socket as the program's.
    running_server(httplib::Server& server, int port) : server_(server) {
        server_.set_socket_options(web::set_listening_options);
        server_.set_keep_alive_timeout(1);
        if (!server_.bind_to_port("127.0.0.1", port)) {
            throw std::runtime_error("test port " + std::to_string(port) + " is taken");
        }
        serving_.emplace(server_);
    }
    void stop() { serving_.reset(); }

  private:
    httplib::Server& server_;
    std::optional<web::serving> serving_;
};

// Sends the requests of one kept-alive client as a browser does. The server closes a kept
// connection after a second of quiet, and when either side's thread stalls about that long on a
// loaded machine, a request can cross the close and go unread. A browser then sends it once more
// on a new connection, and so does this; a request that fails on a fresh connection is not resent.
struct browser_resend {
    httplib::Result send(const std::function<httplib::Result()>& request) {
        auto res = request();
        if (!res && reused &&
            (res.error() == httplib::Error::Read || res.error() == httplib::Error::Write)) {
            ++resent;
            res = request();
        }
        reused = res && res->get_header_value("Connection") != "close";
        return res;
    }
    bool reused = false;  // whether the connection has answered and stays open
    long resent = 0;
};

class raw_connection {
  public:
    explicit raw_connection(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    }
    ~raw_connection() { ::close(fd_); }
    // Ends the connection both ways, while another thread may still be sending on it.
    void shut_down() { ::shutdown(fd_, SHUT_RDWR); }
    // Sends until all is sent or the server stops taking it; returns the bytes sent.
    std::size_t send(const std::string& data) {
        std::size_t sent = 0;
        for (ssize_t n = 1; sent < data.size() && n > 0; sent += n > 0 ? std::size_t(n) : 0) {
            n = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        }
        return sent;
    }
    const std::string& raw() {
        pump(0);
        return received_;
    }
    // What arrives until the server closes, `quiet` passes without a byte, or `done` holds.
    const std::string& read_all(std::chrono::milliseconds quiet,
                                std::function<bool(const std::string&)> done = {}) {
        while (!(done && done(received_)) && pump(static_cast<int>(quiet.count())) > 0) {
        }
        return received_;
    }
    bool closed_by_server(std::chrono::milliseconds limit) {
        return eventually([this] { return pump(20) == 0; }, limit);
    }

  protected:
    // Reads what comes within the time-out; 0 at the end of the connection.
    ssize_t pump(int timeout_ms) {
        pollfd p{fd_, POLLIN, 0};
        ssize_t last = -1;
        for (char chunk[4096]; ::poll(&p, 1, timeout_ms) > 0; timeout_ms = 0) {
            if ((last = ::recv(fd_, chunk, sizeof chunk, 0)) <= 0) {
                return last == 0 ? 0 : -1;
            }
            received_.append(chunk, static_cast<std::size_t>(last));
        }
        return last;
    }

    int fd_;
    std::string received_;
};

// GET /event on a raw connection: the texts of the stream as they arrive.
struct raw_stream : raw_connection {
    explicit raw_stream(int port) : raw_connection(port) {
        send("GET /event HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n");
    }
    // Reads until `count` texts have come or the time is up; all texts so far.
    std::vector<std::string> events(std::size_t count, std::chrono::milliseconds limit = 5s) {
        std::vector<std::string> out;
        for (auto end = std::chrono::steady_clock::now() + limit;
             out.size() < count && std::chrono::steady_clock::now() < end;) {
            pump(10);
            out.clear();
            for (auto at = received_.find("data: "), stop = received_.find("\n\n", at);
                 at != std::string::npos && stop != std::string::npos;
                 at = received_.find("data: ", stop), stop = received_.find("\n\n", at)) {
                out.push_back(received_.substr(at + 6, stop - at - 6));
            }
        }
        return out;
    }
};

}  // namespace test
