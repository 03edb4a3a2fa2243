#include "bench/reference_server.h"

#include <httplib.h>
#include <signal.h>

#include <iostream>
#include <string>
#include <thread>

#include "web/serving.h"

namespace bench {

int run_reference_server(int port, std::size_t asset_bytes) {
    // Blocked before any thread exists, so only sigwait below ever sees them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    const std::string asset(asset_bytes, 'k');
    httplib::Server server;
    // The program's own pool size, so the comparison is of the work per request, not of threads.
    server.new_task_queue = [] { return new httplib::ThreadPool(16); };
    // The library's default leaves Nagle's algorithm on, and it writes the status and headers
    // apart from the body: a small answer then waits for the client's delayed ACK. The floor is
    // what the loopback can do, so it is switched off here.
    server.set_tcp_nodelay(true);
    server.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("<!DOCTYPE html><title>reference</title>", "text/html");
    });
    server.Get("/noop", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("{}", "application/json");
    });
    server.Get("/assets/js/konva.min.js",
               [&asset](const httplib::Request&, httplib::Response& res) {
                   res.set_content(asset, "text/javascript");
               });
    if (!server.bind_to_port("127.0.0.1", port)) {
        std::cout << "reference server: port " << port << " is taken" << std::endl;
        return 1;
    }
    web::serving serving(server);
    std::cout << "reference server ready on port " << port << std::endl;
    int sig = 0;
    sigwait(&stop_signals, &sig);
    serving.stop();
    return 0;
}

}  // namespace bench
