// korvaline-bench: runs korvaline-demo headless with its simulated module and measures how close
// the program runs to the floors set by the module's protocol, the loopback network and the HTTP
// library. Prints one table and writes the same figures as JSON (--out).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/event_stream.h"
#include "bench/hit_latency.h"
#include "bench/http_load.h"
#include "bench/messaging_latency.h"
#include "bench/process.h"
#include "bench/reference_server.h"
#include "bench/report.h"
#include "bench/stats.h"
#include "bench/window_memory.h"
#include "bench/wine_program.h"

#ifndef KORVALINE_PATH
#define KORVALINE_PATH "korvaline"
#endif
#ifndef KORVALINE_DEMO_PATH
#define KORVALINE_DEMO_PATH "korvaline-demo"
#endif

namespace {

using namespace std::chrono_literals;
using bench::clock;

constexpr int demo_port = 5000;
const std::string demo_host = "127.0.0.1:5000";
const std::string ready_line = "serving the Korvaline pages at http://127.0.0.1:5000/";
// Ports of the bench's own servers: the reference server and the in-process broadcaster.
constexpr int reference_port = 5931;
constexpr int messaging_port = 5932;

// The simulated module answers every command this long after it is complete.
constexpr int reply_delay_ms = 1;
// A serial read returns only once the line has been quiet this long after a burst.
constexpr double burst_gap_ms = 50;
// The noise logger's own sleep per cycle.
constexpr double logger_sleep_ms = 20;
constexpr double idle_cpu_goal_percent = 0.5;
// Goals of the program serving without a window, and of the window with its web engine.
constexpr double headless_rss_goal_mb = 15;
constexpr double startup_goal_factor = 2;  // times the bare server's start-up
constexpr double window_pss_goal_mb = 200;

const std::string konva_path = "/assets/js/konva.min.js";
const std::string connect_event = R"({"event" : "connect"})";
const std::string disconnect_event = R"({"event" : "disconnect"})";
const std::string upload_end_event = R"({"event" : "firmware_upload_end"})";

struct settings {
    std::string out;
    std::string demo = KORVALINE_DEMO_PATH;
    bool quick = false;         // fewer and shorter runs, for trying the bench itself
    bool hits_only = false;     // the MIDI input's figures alone
    bool windows_only = false;  // the Windows program's figures alone
    bench::wine_setup wine;

    int runs() const { return quick ? 2 : 3; }
    int latency_samples() const { return quick ? 30 : 100; }
    std::chrono::seconds cpu_window() const { return quick ? 3s : 10s; }
    int startup_runs() const { return quick ? 2 : 5; }
    std::size_t rss_requests() const { return 10000; }
    std::chrono::seconds rps_duration() const { return quick ? 2s : 4s; }
    int firmware_runs() const { return quick ? 1 : 3; }
    int window_runs() const { return quick ? 1 : 3; }
};

double ms(clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

bool port_taken(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool taken = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return taken;
}

// Other programs (the test suite's end-to-end tests) may hold port 5000 for a while.
bool wait_port_free(int port) {
    const auto deadline = clock::now() + 120s;
    bool told = false;
    while (port_taken(port)) {
        if (clock::now() > deadline) {
            return false;
        }
        if (!told) {
            std::cerr << "port " << port << " is in use; waiting for it to come free" << std::endl;
            told = true;
        }
        std::this_thread::sleep_for(200ms);
    }
    return true;
}

std::unique_ptr<bench::process> spawn_demo(const settings& s) {
    if (!wait_port_free(demo_port)) {
        return nullptr;
    }
    return std::make_unique<bench::process>(
        std::vector<std::string>{s.demo}, std::vector<std::string>{"DISPLAY", "WAYLAND_DISPLAY"},
        std::map<std::string, std::string>{
            {"KORVALINE_SIM_REPLY_DELAY_MS", std::to_string(reply_delay_ms)}});
}

// Whether the program lost the port to another one that took it between our check and its bind.
bool lost_port(bench::process& p) {
    return p.printed("Cannot listen on");
}

// Starts the program and waits until it serves; retries while other programs snatch the port.
std::unique_ptr<bench::process> start_demo(const settings& s) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        auto p = spawn_demo(s);
        if (!p) {
            return nullptr;
        }
        if (p->wait_for_line(ready_line, 20s)) {
            return p;
        }
        if (!lost_port(*p)) {
            std::cerr << "korvaline-demo did not come up; its output:" << std::endl;
            for (const auto& line : p->lines()) {
                std::cerr << "  " << line << std::endl;
            }
            return nullptr;
        }
        p->stop();
    }
    return nullptr;
}

std::unique_ptr<bench::process> start_reference(std::size_t asset_bytes) {
    if (!wait_port_free(reference_port)) {
        return nullptr;
    }
    char self[4096] = {};
    if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0) {
        return nullptr;
    }
    return std::make_unique<bench::process>(
        std::vector<std::string>{self, "--reference-server", std::to_string(reference_port),
                                 std::to_string(asset_bytes)},
        std::vector<std::string>{}, std::map<std::string, std::string>{});
}

// Milliseconds from the fork of the program to its first answered "/" (status 200), polling every
// millisecond; nothing when it did not answer within 20 s.
std::optional<double> first_answer_ms(bench::process& p, int port) {
    httplib::Client c("127.0.0.1", port);
    c.set_connection_timeout(0, 200000);
    const auto deadline = clock::now() + 20s;
    while (clock::now() < deadline && p.running()) {
        auto res = c.Get("/");
        if (res && res->status == 200) {
            return ms(clock::now() - p.started());
        }
        std::this_thread::sleep_for(1ms);
    }
    return std::nullopt;
}

// CPU use of the program, in percent of one core, over one window.
double cpu_percent(const bench::process& p, std::chrono::seconds window) {
    const double c0 = p.cpu_seconds();
    const auto t0 = clock::now();
    std::this_thread::sleep_for(window);
    const double c1 = p.cpu_seconds();
    const auto t1 = clock::now();
    return 100.0 * (c1 - c0) / std::chrono::duration<double>(t1 - t0).count();
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

bool http_ok(const std::string& path) {
    httplib::Client c("127.0.0.1", demo_port);
    auto res = c.Get(path.c_str());
    return res && res->status == 200;
}

void add_latency_rows(bench::report& r, const std::string& figure,
                      const std::vector<std::vector<double>>& runs, double limit,
                      const std::string& note = "") {
    std::vector<double> p50, p99;
    for (const auto& run : runs) {
        p50.push_back(bench::percentile(run, 50));
        p99.push_back(bench::percentile(run, 99));
    }
    r.add({figure, "p50", "ms", bench::summarize(p50), limit, note});
    r.add({figure, "p99", "ms", bench::summarize(p99), limit, ""});
}

// A 64 KiB image that the upload route accepts: both identifying strings, the rest varied bytes.
std::string firmware_image() {
    std::string image(64 * 1024, '\0');
    std::uint32_t x = 2463534242u;
    for (auto& byte : image) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = static_cast<char>(x & 0xff);
    }
    const std::string tag = "Korvaline firmware 1.0 (c) Talverin Acoustics";
    image.replace(256, tag.size(), tag);
    return image;
}

// The summed proportional set size of the demo with its window and the web engine's processes,
// under the given X display, 10 s after the main page has loaded; nothing when that failed.
std::optional<double> window_pss_mb(const settings& s, const std::string& display,
                                    std::string& note) {
    if (!wait_port_free(demo_port)) {
        note = "port 5000 stays taken";
        return std::nullopt;
    }
    // The web profile goes to a folder of the run's own, as in the window tests.
    char folder[] = "/tmp/korvaline-bench-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        note = "cannot make a temporary folder";
        return std::nullopt;
    }
    const std::string home = folder;
    const std::string commands = home + "/commands";
    std::optional<double> pss;
    {
        bench::process demo({s.demo}, {"WAYLAND_DISPLAY"},
                            {{"DISPLAY", display},
                             {"XDG_DATA_HOME", home + "/data"},
                             {"XDG_CACHE_HOME", home + "/cache"},
                             {"XDG_CONFIG_HOME", home + "/config"},
                             {"KORVALINE_SIM_REPLY_DELAY_MS", std::to_string(reply_delay_ms)},
                             {"KORVALINE_SIM_COMMAND_LOG", commands}});
        // Once loaded, the main page selects the first pad and starts the noise logger: the
        // logger's first level query ("#") reaching the module says the page has loaded.
        bool loaded = false;
        for (const auto deadline = clock::now() + 60s; !loaded && clock::now() < deadline;) {
            std::ifstream log(commands);
            for (std::string line; !loaded && std::getline(log, line);) {
                loaded = line == "#";
            }
            std::this_thread::sleep_for(100ms);
        }
        if (loaded) {
            std::this_thread::sleep_for(10s);
            pss = bench::tree_pss_mb(demo.pid());
        } else {
            note = "the page did not start the noise logger within 60 s";
        }
        demo.stop();
    }
    std::filesystem::remove_all(home);
    return pss;
}

// The MIDI input's figures: latency of a hit from the JACK port to the event stream, and the
// program's CPU while hits arrive.
void add_hit_rows(bench::report& r, const settings& s) {
    std::cout << "MIDI hit runs ..." << std::endl;
    std::vector<std::vector<double>> hit_runs;
    std::vector<double> hit_cpu;
    std::string hit_note;
    double period_ms = 0;
    for (int i = 0; i < s.runs(); ++i) {
        if (!wait_port_free(demo_port)) {
            break;
        }
        const auto figures =
            bench::measure_hits(KORVALINE_PATH, s.latency_samples(), s.cpu_window());
        if (!figures.failure.empty()) {
            hit_note = figures.failure;
            continue;
        }
        hit_runs.push_back(figures.latency_ms);
        hit_cpu.push_back(figures.cpu_percent);
        period_ms = 1000.0 * figures.period_frames / figures.rate;
        r.condition("jack_period_frames", figures.period_frames);
        r.condition("jack_sample_rate", figures.rate);
    }
    r.condition("jack_period_ms", period_ms);
    add_latency_rows(r, "hit_event_ms", hit_runs, period_ms, hit_note);
    r.explain("hit_event_ms",
              "a note-on sent on a JACK MIDI port (jackd, dummy driver) to its hit text on the "
              "event stream of korvaline --headless; limit: one JACK period, the floor");
    r.add({"hit_cpu_percent", "20 hits/s", "% of one core", bench::summarize(hit_cpu), 1.0, ""});
    r.explain("hit_cpu_percent",
              "goal under 1% of one core: korvaline --headless with its MIDI "
              "input open, no module, 20 note-ons a second over JACK");
}

// Prints the table and writes the JSON.
int finish(bench::report& r, const settings& s, clock::time_point bench_start) {
    r.condition("bench_seconds", ms(clock::now() - bench_start) / 1000.0);
    std::cout << "\n" << r.table();
    if (!s.out.empty()) {
        std::ofstream out(s.out);
        out << r.json();
        if (!out) {
            std::cerr << "cannot write " << s.out << std::endl;
            return 1;
        }
        std::cout << "\nwritten to " << s.out << std::endl;
    }
    return 0;
}

void add_wine_rows(bench::report& r, const settings& s) {
    if (s.wine.exe.empty()) {
        return;
    }
    std::cout << "Windows program under Wine ..." << std::endl;
    const auto figures = bench::measure_wine(s.wine, s.startup_runs(), s.latency_samples());
    r.add({"wine_startup_ms", "start of wine to first /", "ms", bench::summarize(figures.start_ms),
           0, figures.failure});
    r.explain("wine_startup_ms",
              "measured under Wine, not Windows: korvaline.exe --headless --port COM5 in the "
              "Windows tree's prefix (an already made one), from the start of wine to the first "
              "answered /; no goal");
    r.add({"wine_set_ms", "p50", "ms", bench::summarize({bench::percentile(figures.set_ms, 50)}),
           reply_delay_ms + burst_gap_ms, ""});
    r.add({"wine_set_ms", "p99", "ms", bench::summarize({bench::percentile(figures.set_ms, 99)}),
           reply_delay_ms + burst_gap_ms, ""});
    r.explain("wine_set_ms",
              "measured under Wine, not Windows: GET /set round trips of korvaline.exe, the "
              "simulated module behind COM5 (a pty); floor: the reply delay + the 50 ms burst gap");
}

int run_bench(const settings& s) {
    bench::report r;
    const auto bench_start = clock::now();
    auto phase_start = bench_start;
    const auto phase = [&](const char* name) {
        const auto now = clock::now();
        std::cout << "  " << name << ": " << static_cast<int>(ms(now - phase_start) / 1000) << " s"
                  << std::endl;
        phase_start = now;
    };
    {
        std::ifstream load("/proc/loadavg");
        std::string one;
        load >> one;
        r.condition("load_average_1min_at_start", one);
    }
    r.condition("hardware_threads", static_cast<double>(std::thread::hardware_concurrency()));
    if (s.windows_only) {
        add_wine_rows(r, s);
        return finish(r, s, bench_start);
    }
    r.condition("sim_reply_delay_ms", reply_delay_ms);
    r.condition("serial_burst_gap_ms", burst_gap_ms);
    r.condition("demo", s.demo);
    r.condition("runs_per_figure", s.runs());
    if (s.hits_only) {
        add_hit_rows(r, s);
        std::cout << "\n" << r.table();
        return 0;
    }

    // --- start-up, and the memory right after it -------------------------------------------
    // The program and the bare reference server take turns, so both see the same machine load.
    std::cout << "start-up runs ..." << std::endl;
    std::vector<double> startup, startup_rss, reference_startup;
    std::size_t konva_bytes = 0;
    for (int i = 0, lost = 0; i < s.startup_runs(); ++i) {
        auto p = spawn_demo(s);
        if (!p) {
            std::cerr << "port 5000 stays taken; cannot run the program" << std::endl;
            return 1;
        }
        auto t = first_answer_ms(*p, demo_port);
        if (lost_port(*p) && ++lost < 20) {
            p->stop();
            --i;
            continue;
        }
        if (!t || !p->wait_for_line(ready_line, 5s)) {
            std::cerr << "korvaline-demo did not come up; its output:" << std::endl;
            for (const auto& line : p->lines()) {
                std::cerr << "  " << line << std::endl;
            }
            return 1;
        }
        startup.push_back(*t);
        std::this_thread::sleep_for(300ms);
        startup_rss.push_back(p->rss_mb());
        if (konva_bytes == 0) {
            httplib::Client c("127.0.0.1", demo_port);
            if (auto res = c.Get(konva_path.c_str()); res && res->status == 200) {
                konva_bytes = res->body.size();
            }
        }
        p->stop();
        if (auto ref = start_reference(1)) {
            if (auto t = first_answer_ms(*ref, reference_port)) {
                reference_startup.push_back(*t);
            }
            ref->stop();
        }
    }
    r.condition("konva_bytes", static_cast<double>(konva_bytes));
    phase("start-up");

    // The reference server stays up from here on, idle unless asked, as the other side of the
    // comparisons.
    auto reference = start_reference(konva_bytes ? konva_bytes : 1);
    if (!reference || !reference->wait_for_line("reference server ready", 10s)) {
        std::cerr << "the reference server did not come up" << std::endl;
        return 1;
    }

    // --- the long-running instance ---------------------------------------------------------
    std::cout << "latency runs ..." << std::endl;
    auto demo = start_demo(s);
    if (!demo) {
        return 1;
    }
    // Like the window's page, the bench keeps one event stream open for the program's whole run:
    // the program delivers each event to one stream only.
    auto stream = std::make_unique<bench::event_stream>(demo_port, demo_host);
    int reopened = 0;
    // A page whose stream ends opens a new one; so does the bench, and it counts how often.
    const auto live_stream = [&]() -> bench::event_stream& {
        if (stream->closed()) {
            stream.reset();
            stream = std::make_unique<bench::event_stream>(demo_port, demo_host);
            stream->wait_open(5s);
            ++reopened;
        }
        return *stream;
    };
    if (!stream->wait_open(5s) ||
        !stream->wait_for([](const std::string& t) { return t == connect_event; }, 10s)) {
        std::cerr << "no connect event from korvaline-demo" << std::endl;
        return 1;
    }
    std::this_thread::sleep_for(500ms);
    const double rss_start = demo->rss_mb();
    startup_rss.push_back(rss_start);

    // Loopback HTTP: a route that does no work, on the bare server, with the same client. The
    // program's own no-op route is recorded beside it: the difference is what the program (or its
    // socket settings) adds to every answer.
    const double loopback_ms =
        bench::percentile(bench::round_trips_ms(reference_port, {"/noop"}, 200), 50);
    r.condition("loopback_http_round_trip_ms_p50", loopback_ms);
    r.condition(
        "program_noop_route_round_trip_ms_p50",
        bench::percentile(bench::round_trips_ms(demo_port, {"/stop_noise_logger"}, 200), 50));

    std::vector<std::string> set_paths;
    for (int v = 20; v < 70; ++v) {
        set_paths.push_back("/set/kick/threshold/" + std::to_string(v));
    }
    bench::round_trips_ms(demo_port, set_paths, 5);  // warm-up
    std::vector<std::vector<double>> set_runs, get_all_runs;
    for (int i = 0; i < s.runs(); ++i) {
        set_runs.push_back(bench::round_trips_ms(demo_port, set_paths, s.latency_samples()));
        get_all_runs.push_back(bench::round_trips_ms(demo_port, {"/get_all"}, s.latency_samples()));
    }
    const double query_limit = reply_delay_ms + burst_gap_ms + loopback_ms;
    add_latency_rows(r, "set_latency_ms", set_runs, query_limit);
    r.explain("set_latency_ms",
              "module reply delay (" + std::to_string(reply_delay_ms) +
                  " ms) + the 50 ms quiet gap that ends a serial read + one loopback HTTP round "
                  "trip of a no-op route on a bare server of the same library with TCP_NODELAY");
    add_latency_rows(r, "get_all_latency_ms", get_all_runs, query_limit);
    phase("latency");
    r.explain("get_all_latency_ms", "the same as set_latency_ms");

    // --- event latency, in process -----------------------------------------------------------
    std::vector<std::vector<double>> event_runs;
    for (int i = 0; i < s.runs(); ++i) {
        event_runs.push_back(bench::messaging_latency_ms(messaging_port, s.quick ? 100 : 300));
    }
    add_latency_rows(r, "event_latency_ms", event_runs, 1.0,
                     "in process: async::messaging::send to the frame's arrival at a raw-socket "
                     "GET /event client on port 5932");
    r.explain("event_latency_ms", "loopback delivery, goal well under 1 ms");

    // --- CPU: idle with the module, with the logger, idle without the module ------------------
    std::cout << "CPU runs (" << 3 * s.runs() * s.cpu_window().count() << " s) ..." << std::endl;
    std::this_thread::sleep_for(1s);
    live_stream().drain();
    std::vector<double> idle_attached, logger_cpu, cycles;
    std::string noise_note;
    for (int i = 0; i < s.runs(); ++i) {
        idle_attached.push_back(cpu_percent(*demo, s.cpu_window()));
    }
    // The main page's start sequence: stop, then start.
    http_ok("/stop_noise_logger");
    http_ok("/start_noise_logger");
    std::this_thread::sleep_for(1s);
    live_stream().drain();
    for (int i = 0; i < s.runs(); ++i) {
        const auto t0 = clock::now();
        logger_cpu.push_back(cpu_percent(*demo, s.cpu_window()));
        const auto t1 = clock::now();
        std::size_t levels = 0;
        for (const auto& e : live_stream().drain()) {
            levels += starts_with(e.text, R"({"value": )") && e.arrived >= t0 && e.arrived <= t1;
        }
        if (levels == 0) {
            noise_note = "no level events in a run (event stream " +
                         std::string(stream->closed() ? "closed" : "open") + ")";
        }
        cycles.push_back(static_cast<double>(levels) /
                         std::chrono::duration<double>(t1 - t0).count());
    }
    http_ok("/stop_noise_logger");
    std::this_thread::sleep_for(300ms);
    live_stream().drain();
    demo->signal(SIGUSR1);
    std::vector<double> idle_unplugged;
    if (live_stream().wait_for([](const std::string& t) { return t == disconnect_event; }, 5s)) {
        std::this_thread::sleep_for(1s);
        for (int i = 0; i < s.runs(); ++i) {
            idle_unplugged.push_back(cpu_percent(*demo, s.cpu_window()));
        }
    }
    std::string unplug_note;
    if (idle_unplugged.empty()) {
        unplug_note = "SIGUSR1 gave no disconnect event within 5 s";
        for (const auto& line : demo->lines()) {
            if (line.find("Simulated module") != std::string::npos) {
                unplug_note += "; the program printed: " + line;
            }
        }
    }
    demo->signal(SIGUSR1);
    const bool replugged =
        live_stream()
            .wait_for([](const std::string& t) { return t == connect_event; }, 10s)
            .has_value();

    phase("CPU");
    const double cycle_ms = 2 * (reply_delay_ms + burst_gap_ms) + logger_sleep_ms;
    r.add({"noise_cycles_per_s", "level events", "1/s", bench::summarize(cycles), 1000.0 / cycle_ms,
           ""});
    r.explain("noise_cycles_per_s",
              "one cycle = two queries, each the reply delay + the 50 ms burst gap, + the "
              "logger's 20 ms sleep = " +
                  std::to_string(static_cast<int>(cycle_ms)) + " ms");
    r.add({"idle_cpu_percent", "attached", "% of one core", bench::summarize(idle_attached),
           idle_cpu_goal_percent, ""});
    r.add({"idle_cpu_percent", "no module", "% of one core", bench::summarize(idle_unplugged),
           idle_cpu_goal_percent, unplug_note});
    r.explain("idle_cpu_percent",
              "goal 0.5% of one core; each run is " + std::to_string(s.cpu_window().count()) +
                  " s of utime+stime from /proc/<pid>/stat (10 ms ticks), one /event stream open");
    r.add({"logger_cpu_percent", "logger running", "% of one core", bench::summarize(logger_cpu),
           idle_cpu_goal_percent, ""});
    r.explain("logger_cpu_percent", "compared with the idle goal of 0.5% of one core");

    // --- memory after many requests ----------------------------------------------------------
    std::cout << "memory and throughput runs ..." << std::endl;
    const std::vector<std::string> mix = {
        "/", konva_path, "/select/1", "/stop_noise_logger", "/assets/css/style.css", "/data.json"};
    const std::size_t ok1 = bench::request_load(demo_port, mix, s.rss_requests(), 4);
    std::this_thread::sleep_for(500ms);
    const double rss_10k = demo->rss_mb();
    const std::size_t ok2 = bench::request_load(demo_port, mix, s.rss_requests(), 4);
    std::this_thread::sleep_for(500ms);
    const double rss_20k = demo->rss_mb();
    const double rss_reference = bench::percentile(startup_rss, 50);
    r.add(
        {"rss_mb", "after start", "MiB", bench::summarize(startup_rss), headless_rss_goal_mb, ""});
    r.add({"rss_mb", "after 10k requests", "MiB", bench::summarize({rss_10k}), rss_reference,
           ok1 == s.rss_requests() ? "" : std::to_string(ok1) + " of the requests answered 200"});
    r.add({"rss_mb", "after 20k requests", "MiB", bench::summarize({rss_20k}), rss_reference,
           ok2 == s.rss_requests() ? "" : std::to_string(ok2) + " of the requests answered 200"});
    r.explain("rss_mb",
              "after start: goal 15 MiB without a window; after requests: the resident size "
              "after start (no growth); requests mix static files, /select and a no-op route, "
              "4 keep-alive clients");

    // --- static throughput, the program and the bare server in turn -------------------------
    std::string tool;
    std::vector<double> rps, reference_rps;
    for (int i = 0; i < s.runs(); ++i) {
        rps.push_back(bench::static_rps(demo_port, konva_path, 8, s.rps_duration(), tool));
        reference_rps.push_back(
            bench::static_rps(reference_port, konva_path, 8, s.rps_duration(), tool));
    }
    r.condition("static_rps_tool", tool);
    phase("memory and throughput");

    // --- firmware ----------------------------------------------------------------------------
    std::cout << "firmware runs ..." << std::endl;
    std::vector<double> firmware;
    std::string firmware_note;
    const std::string image = firmware_image();
    const std::size_t pages = image.size() / 1024 + 1;
    bool connected = replugged;
    for (int i = 0; i < s.firmware_runs(); ++i) {
        if (!connected) {
            connected = live_stream()
                            .wait_for([](const std::string& t) { return t == connect_event; }, 10s)
                            .has_value();
        }
        live_stream().drain();
        const std::size_t checksums_before = demo->count_lines("checksum = ");
        httplib::Client c("127.0.0.1", demo_port);
        httplib::MultipartFormDataItems items = {
            {"firmware_file", image, "Korvaline.bin", "application/octet-stream"}};
        const auto sent = clock::now();
        auto res = c.Post("/firmware", items);
        if (!res || res->body != R"({"status": "done"})") {
            firmware_note = "upload refused: " + (res ? res->body : std::string("no answer"));
            break;
        }
        std::string error;
        auto end = live_stream().wait_for(
            [](const std::string& t) { return t == upload_end_event; }, 60s,
            [&](const bench::event_stream::event& e) {
                if (e.text == connect_event) {
                    connected = true;
                } else if (e.text == disconnect_event) {
                    connected = false;
                } else if (e.text.find("firmware_upload_error") != std::string::npos) {
                    error = e.text;
                }
            });
        if (!end) {
            firmware_note = "no end event within 60 s";
            break;
        }
        firmware.push_back(ms(end->arrived - sent) / 1000.0);
        std::this_thread::sleep_for(100ms);
        if (!error.empty() || demo->count_lines("checksum = ") == checksums_before) {
            firmware_note = "the bootloader did not take every page" +
                            (error.empty() ? std::string() : ": " + error);
        }
    }
    const double firmware_floor = 8.0 + static_cast<double>(pages) * 16 * 0.001;
    r.add({"firmware_s", "64 KiB image", "s", bench::summarize(firmware), firmware_floor,
           firmware_note});
    r.explain("firmware_s", "8 s of fixed waits (80 progress steps of 100 ms) + " +
                                std::to_string(pages) +
                                " pages x 16 ms of report pauses; the simulated bootloader "
                                "answers at once, so its own time is taken as 0");
    const int demo_status = demo->stop();
    r.condition("demo_exit_status", demo_status);
    r.condition("event_stream_reopened", reopened);
    phase("firmware");

    // --- the window's memory, under an X server of the bench's own ---------------------------
    std::cout << "window memory runs ..." << std::endl;
    std::vector<double> window_pss;
    std::string window_note;
    {
        bench::virtual_display x;
        if (x.display().empty()) {
            window_note = "Xvfb did not start";
        }
        for (int i = 0; i < s.window_runs() && !x.display().empty(); ++i) {
            if (const auto pss = window_pss_mb(s, x.display(), window_note)) {
                window_pss.push_back(*pss);
            }
        }
    }
    r.add({"window_pss_mb", "10 s after load", "MiB", bench::summarize(window_pss),
           window_pss_goal_mb, window_note});
    r.explain("window_pss_mb",
              "goal 200 MiB: the program and the web engine's processes, proportional set size "
              "summed from /proc/PID/smaps_rollup, under Xvfb 1280x720, 10 s after the main "
              "page started the noise logger");
    phase("window");

    add_hit_rows(r, s);
    phase("MIDI hits");
    add_wine_rows(r, s);
    phase("Windows program");

    reference->stop();
    const double startup_floor = bench::percentile(reference_startup, 50);
    r.add({"startup_ms", "exec to first /", "ms", bench::summarize(startup),
           startup_goal_factor * startup_floor, ""});
    r.add({"startup_ms", "bare server", "ms", bench::summarize(reference_startup), 0, ""});
    r.explain("startup_ms",
              "goal: twice the exec to first answered / of a bare server of the "
              "same HTTP library (" +
                  std::to_string(static_cast<int>(startup_floor)) + " ms)");
    const double rps_ceiling = bench::percentile(reference_rps, 50);
    r.add({"static_rps", "konva.min.js", "requests/s", bench::summarize(rps), rps_ceiling, ""});
    r.explain("static_rps", "8 connections, " + tool +
                                "; limit: the same file size from a bare server of the same "
                                "HTTP library and pool size, same client");
    return finish(r, s, bench_start);
}

}  // namespace

int main(int argc, char** argv) {
    settings s;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--reference-server" && i + 2 < argc) {
            return bench::run_reference_server(std::atoi(argv[i + 1]),
                                               std::strtoul(argv[i + 2], nullptr, 10));
        } else if (arg == "--out" && i + 1 < argc) {
            s.out = argv[++i];
        } else if (arg == "--demo" && i + 1 < argc) {
            s.demo = argv[++i];
        } else if (arg == "--quick") {
            s.quick = true;
        } else if (arg == "--hits-only") {
            s.hits_only = true;
        } else if (arg == "--windows-only") {
            s.windows_only = true;
        } else if (arg == "--wine" && i + 3 < argc) {
            s.wine = {argv[i + 1], argv[i + 2], argv[i + 3]};
            i += 3;
        } else {
            std::cerr
                << "usage: korvaline-bench [--out file.json] [--demo path] [--quick] "
                   "[--hits-only]\n"
                   "                       [--wine korvaline.exe prefix wine-run] [--windows-only]"
                << std::endl;
            return 2;
        }
    }
    // A client writing to a server that has just closed must not end the bench.
    ::signal(SIGPIPE, SIG_IGN);
    return run_bench(s);
}
