#include "bench/messaging_latency.h"

#include <httplib.h>

#include <chrono>
#include <string>
#include <thread>

#include "bench/event_stream.h"
#include "web/messaging.h"
#include "web/serving.h"

namespace bench {

std::vector<double> messaging_latency_ms(int port, int samples) {
    std::vector<double> result;
    httplib::Server server;
    server.new_task_queue = [] { return new httplib::ThreadPool(16); };
    async::messaging events(server);
    if (!server.bind_to_port("127.0.0.1", port)) {
        return result;
    }
    web::serving serving(server);
    {
        event_stream stream(port, "127.0.0.1:" + std::to_string(port));
        if (stream.wait_open(std::chrono::seconds(5))) {
            // A warm-up text: the first one also pays for the stream's first provider call.
            events.send(R"({"event" : "connect"})");
            stream.wait_for([](const std::string&) { return true; }, std::chrono::seconds(5));
            for (int i = 0; i < samples; ++i) {
                const std::string text = R"({"value": ")" + std::to_string(i) + "\"}";
                const auto sent = std::chrono::steady_clock::now();
                events.send(text);
                auto got = stream.wait_for([&](const std::string& t) { return t == text; },
                                           std::chrono::seconds(5));
                if (!got) {
                    break;
                }
                result.push_back(
                    std::chrono::duration<double, std::milli>(got->arrived - sent).count());
            }
        }
    }
    events.release_all();
    serving.stop();
    return result;
}

}  // namespace bench
