#include "bench/hit_latency.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>

#include "bench/event_stream.h"
#include "bench/process.h"
#include "tests/midi/jack_sender.h"

namespace bench {

namespace {

using namespace std::chrono_literals;

constexpr int period = 128;
constexpr int rate = 48000;
constexpr std::chrono::milliseconds hit_interval{50};  // 20 hits a second

double ms(clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

hit_figures measure_hits(const std::string& program, int samples, std::chrono::seconds cpu_window) {
    hit_figures out;
    out.period_frames = period;
    out.rate = rate;
    const std::string server = "korvaline-bench-" + std::to_string(::getpid());
    ::setenv("JACK_DEFAULT_SERVER", server.c_str(), 1);
    process jack({"/usr/bin/jackd", "-n", server, "--no-realtime", "-d", "dummy", "-r",
                  std::to_string(rate), "-p", std::to_string(period)},
                 {}, {});
    bool up = false;
    for (const auto end = clock::now() + 20s; !up && clock::now() < end && jack.running();) {
        up = std::system("jack_lsp >/dev/null 2>&1") == 0;
    }
    if (!up) {
        out.failure = "jackd did not come up:";
        for (const auto& line : jack.lines()) {
            out.failure += " " + line;
        }
        return out;
    }
    auto sender = std::make_unique<test::jack_sender>("bench", "Korvaline bench");
    if (!sender->ready()) {
        out.failure = "the bench's MIDI output did not join jackd";
        return out;
    }
    const auto home = std::filesystem::temp_directory_path() / ("korvaline-bench-midi-" + server);
    std::filesystem::create_directories(home);
    {
        process korvaline({program, "--headless"}, {"DISPLAY", "WAYLAND_DISPLAY"},
                          {{"XDG_CONFIG_HOME", (home / "config").string()},
                           {"XDG_DATA_HOME", (home / "data").string()},
                           {"JACK_DEFAULT_SERVER", server}});
        // The stream opens once the program serves; the state it published before then waits
        // for it.
        const bool serving = korvaline.wait_for_line("serving the Korvaline pages", 20s);
        event_stream events(5000, "127.0.0.1:5000");
        const bool connected = serving && events.wait_open(5s) &&
                               events.wait_for(
                                   [](const std::string& t) {
                                       return t.find(R"("event" : "midi")") != std::string::npos &&
                                              t.find(R"("connected": true)") != std::string::npos;
                                   },
                                   10s);
        if (!connected) {
            out.failure = "the program did not open the bench's MIDI port:";
            for (const auto& line : korvaline.lines()) {
                out.failure += " " + line;
            }
            out.failure += serving ? " serving" : " not serving";
            for (const auto& e : events.drain()) {
                out.failure += " " + e.text;
            }
        }
        for (int i = 0; connected && i < samples; ++i) {
            const int velocity = 1 + i % 127;
            std::vector<unsigned char> note{0x99, 38, static_cast<unsigned char>(velocity)};
            const std::string wanted = R"("velocity": )" + std::to_string(velocity) + ",";
            const auto sent = clock::now();
            sender->send(note);
            const auto got = events.wait_for(
                [&](const std::string& t) { return t.find(wanted) != std::string::npos; }, 2s);
            if (got) {
                out.latency_ms.push_back(ms(got->arrived - sent));
            }
            std::this_thread::sleep_until(sent + hit_interval);
        }
        if (connected) {
            const double c0 = korvaline.cpu_seconds();
            const auto t0 = clock::now();
            for (auto next = t0; next < t0 + cpu_window; next += hit_interval) {
                std::this_thread::sleep_until(next);
                std::vector<unsigned char> note{0x99, 36, 100};
                sender->send(note);
                events.drain();
            }
            out.cpu_percent = 100.0 * (korvaline.cpu_seconds() - c0) /
                              std::chrono::duration<double>(clock::now() - t0).count();
        }
        korvaline.stop();
    }
    sender.reset();
    jack.stop();
    std::filesystem::remove_all(home);
    return out;
}

}  // namespace bench
