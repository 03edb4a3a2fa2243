#include "bench/wine_program.h"

#include <httplib.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <thread>

#include "bench/process.h"
#include "sim/module.h"

namespace bench {

namespace {

using namespace std::chrono_literals;

double ms(clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// COM5 of the prefix names the module's pty while it is plugged.
void link_port(const std::filesystem::path& prefix, const sim::module& module) {
    const auto link = prefix / "dosdevices/com5";
    std::error_code ignored;
    std::filesystem::remove(link, ignored);
    if (const auto where = module.attached()) {
        std::filesystem::create_symlink(where->tty, link, ignored);
    }
}

}  // namespace

wine_figures measure_wine(const wine_setup& setup, int runs, int set_samples) {
    wine_figures figures;
    if (!std::filesystem::exists(setup.exe)) {
        figures.failure = setup.exe + " is missing (make windows builds it)";
        return figures;
    }
    sim::module module({.reply_delay = 1ms});
    link_port(setup.prefix, module);
    for (int run = 0; run < runs; ++run) {
        process program({setup.wine_run, setup.exe, "--headless", "--port", "COM5"}, {},
                        {{"KORVALINE_WINEPREFIX", setup.prefix}});
        httplib::Client client("127.0.0.1", 5000);
        client.set_connection_timeout(0, 200000);
        std::optional<double> first;
        for (const auto deadline = clock::now() + 60s; !first && clock::now() < deadline;
             std::this_thread::sleep_for(1ms)) {
            if (const auto res = client.Get("/"); res && res->status == 200) {
                first = ms(clock::now() - program.started());
            }
            if (!program.running()) {
                break;
            }
        }
        if (!first) {
            figures.failure = "the Windows program did not answer within 60 s";
            return figures;
        }
        figures.start_ms.push_back(*first);
        if (run == 0) {
            // The module is opened half a second after it is found: wait for the first success.
            for (const auto deadline = clock::now() + 20s; clock::now() < deadline;
                 std::this_thread::sleep_for(10ms)) {
                const auto res = client.Get("/set/kick/threshold/20");
                if (res && res->body.find("success") != std::string::npos) {
                    break;
                }
            }
            for (int i = 0; i < set_samples; ++i) {
                const auto sent = clock::now();
                const auto res = client.Get("/set/kick/threshold/" + std::to_string(20 + i % 10));
                if (res && res->body.find("success") != std::string::npos) {
                    figures.set_ms.push_back(ms(clock::now() - sent));
                }
            }
        }
        program.signal(SIGINT);
        program.stop();
    }
    std::error_code ignored;
    std::filesystem::remove(std::filesystem::path(setup.prefix) / "dosdevices/com5", ignored);
    return figures;
}

}  // namespace bench
