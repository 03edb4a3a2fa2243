#include "bench/http_load.h"

#include <httplib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

namespace bench {

namespace {

using steady = std::chrono::steady_clock;

std::unique_ptr<httplib::Client> client(int port) {
    auto c = std::make_unique<httplib::Client>("127.0.0.1", port);
    c->set_keep_alive(true);
    c->set_connection_timeout(2, 0);
    c->set_read_timeout(10, 0);
    c->set_tcp_nodelay(true);
    return c;
}

}  // namespace

std::vector<double> round_trips_ms(int port, const std::vector<std::string>& paths, int n) {
    std::vector<double> result;
    auto c = client(port);
    for (int i = 0; i < n; ++i) {
        const std::string& path = paths[static_cast<std::size_t>(i) % paths.size()];
        for (int attempt = 0; attempt < 2; ++attempt) {
            const auto start = steady::now();
            auto res = c->Get(path.c_str());
            const auto end = steady::now();
            if (res && res->status == 200) {
                result.push_back(std::chrono::duration<double, std::milli>(end - start).count());
                break;
            }
            c = client(port);
        }
    }
    return result;
}

std::size_t request_load(int port, const std::vector<std::string>& paths, std::size_t requests,
                         int clients) {
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> ok{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < clients; ++t) {
        threads.emplace_back([&] {
            auto c = client(port);
            for (std::size_t i; (i = next.fetch_add(1)) < requests;) {
                auto res = c->Get(paths[i % paths.size()].c_str());
                if (res && res->status == 200) {
                    ok.fetch_add(1);
                } else {
                    c = client(port);
                }
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    return ok.load();
}

double static_rps(int port, const std::string& path, int clients, std::chrono::seconds duration,
                  std::string& tool) {
    if (::access("/usr/bin/wrk", X_OK) == 0) {
        tool = "wrk";
        const std::string command = "/usr/bin/wrk -t2 -c" + std::to_string(clients) + " -d" +
                                    std::to_string(duration.count()) +
                                    "s http://127.0.0.1:" + std::to_string(port) + path + " 2>&1";
        FILE* out = ::popen(command.c_str(), "r");
        if (!out) {
            return 0;
        }
        char line[512];
        double rps = 0;
        while (std::fgets(line, sizeof line, out)) {
            std::sscanf(line, "Requests/sec: %lf", &rps);
        }
        ::pclose(out);
        return rps;
    }
    tool = "own keep-alive clients";
    std::atomic<bool> stop{false};
    std::atomic<std::size_t> ok{0};
    std::vector<std::thread> threads;
    const auto start = steady::now();
    for (int t = 0; t < clients; ++t) {
        threads.emplace_back([&] {
            auto c = client(port);
            while (!stop.load()) {
                auto res = c->Get(path.c_str());
                if (res && res->status == 200) {
                    ok.fetch_add(1);
                } else {
                    c = client(port);
                }
            }
        });
    }
    std::this_thread::sleep_for(duration);
    stop = true;
    for (auto& t : threads) {
        t.join();
    }
    const double seconds = std::chrono::duration<double>(steady::now() - start).count();
    return static_cast<double>(ok.load()) / seconds;
}

}  // namespace bench
